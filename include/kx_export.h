// Symbol visibility for the three libraries. Everything is hidden by default
// (-fvisibility=hidden); only declarations marked KX_EXPORT are part of the
// dynamic interface.
#pragma once

#define KX_EXPORT __attribute__((visibility("default")))
#define KX_HIDDEN __attribute__((visibility("hidden")))
