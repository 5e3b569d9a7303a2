// Lines for whoever reads the plugin's reports: the process's standard output, the one place a
// script-extender plugin has always written to.
#pragma once

// mingw's C++ runtime formats the C99 way (the "ll" size prefix), not the way its "printf"
// archetype checks for.
#if defined(__MINGW32__)
#define TAVIRO_PRINTF_FORMAT(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define TAVIRO_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#endif

namespace sfse_common {

// Writes one formatted line to standard output and flushes it, and hands it to the report sink
// if one is set. The text is cut at 8,191 bytes. Meant for the host's loading thread: the line is
// built in one static buffer.
void ReportMessage(const char* fmt, ...) TAVIRO_PRINTF_FORMAT(1, 2);

// Where a copy of every report goes besides standard output (the plugin's log); null for none.
// The line comes without its newline.
using ReportSink = void (*)(const char* line);
void SetReportSink(ReportSink sink);

}  // namespace sfse_common
