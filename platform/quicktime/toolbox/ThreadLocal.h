// ThreadLocal: how the runtime's per-thread error slots are declared.
// On ELF systems they use the initial-exec model: a few bytes of static TLS
// instead of a dynamic TLS block per thread when the runtime is loaded with
// dlopen (cheaper to reach, and LeakSanitizer's exit scan mis-reads dynamic
// TLS blocks). PE modules have one TLS model, so the attribute is dropped.
#pragma once

#ifdef _WIN32
#define TP_QT_INITIAL_EXEC_TLS
#else
#define TP_QT_INITIAL_EXEC_TLS __attribute__((tls_model("initial-exec")))
#endif
