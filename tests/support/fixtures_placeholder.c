/* Keeps the fixture library non-empty while it has no sources. */
int kx_fixtures_placeholder;
