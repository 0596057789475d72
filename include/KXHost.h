// Host utilities of libKXCommon: the IPv4 address by which this machine
// names itself, and random hexadecimal strings.
#pragma once

#ifdef __cplusplus

#include "ckxstr.h"
#include "kx_export.h"

// The address text that KXGetLocalIp found; empty until its first call.
KX_EXPORT extern ckxstr g_host;

// The address by which this machine names itself, found on the first call
// and kept for the process: the value of "local_address" in section
// "Default" of main.ini (beside libKXCommon) when it is set; else the IPv4
// address of the last interface whose name contains "eth"; else that of the
// first interface that is up and not a loopback; else "127.0.0.1". Never
// empty.
KX_EXPORT ckxstr KXGetLocalIp();

// 2n lowercase hexadecimal characters from n bytes of OpenSSL's random
// generator; "" for n = 0. "" with the thread's last error set when n is
// negative (5002), the text would pass the string limit (5051), there is no
// memory (5009) or the generator fails (5069).
KX_EXPORT ckxstr KXRandomStr(int n);

#endif
