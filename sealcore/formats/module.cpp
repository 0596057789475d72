// libsealcore: seal formats, family detection, seal properties and checks.
