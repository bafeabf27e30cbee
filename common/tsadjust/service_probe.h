// The terminal-service probe and the library's trace (internal to tsadjust).
#ifndef QX_COMMON_TSADJUST_SERVICE_PROBE_H
#define QX_COMMON_TSADJUST_SERVICE_PROBE_H

namespace qx::tsadjust {

// 1 when the service "TermService" is configured (not disabled) and running,
// starting or continuing; 0 otherwise, also when the platform offers no service
// calls (they are looked up at run time, so the probe works as soon as it does).
int ProbeTerminalService();

// Writes one trace line (printf format, our own fixed texts only) through the
// product trace when QXWTS_USEQXTRACE is set.
void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace qx::tsadjust

#endif
