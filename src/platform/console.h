// Console output of 16-bit strings.
//
// Messages are printf-like with a wide format: "%s" takes a 16-bit string and "%d" a
// signed integer. Each character up to U+00FF is written as the byte of that value,
// anything above as '?'. Output goes to standard output, except the report that
// standard output itself failed.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

namespace mkx::platform {

using FormatArg = std::variant<std::u16string_view, int64_t>;

/// Expands "%s" and "%d" (and "%%") in order with the arguments.
std::u16string FormatMessage(std::u16string_view format, std::initializer_list<FormatArg> args);

/// Writes the formatted message to standard output, as console bytes (Latin-1, '?'
/// above U+00FF).
void Print(std::u16string_view format, std::initializer_list<FormatArg> args = {});

/// Writes the formatted message to standard error, as Print does to standard output:
/// only for the failure of standard output, which cannot carry its own report.
void PrintError(std::u16string_view format, std::initializer_list<FormatArg> args = {});

/// Writes out what was printed to standard output. False when any of it could not be
/// written (a full disk, a device error): the run's report is then incomplete. A
/// process without standard output discards its messages, which is no failure.
bool FlushConsole();

/// False only on Windows, for a process started without standard output.
bool HasStandardOutput();

/// Opens the null device on each of standard input, output and error that is closed,
/// so that no file the run opens takes its number: output meant for the console
/// would otherwise go into that file (a working copy, say). Call it first.
void OpenMissingStandardStreams();

}  // namespace mkx::platform
