// The wipe log: an HTML document of what one wipe job did, signed so that a later change of its
// visible content can be detected, and the check of that signature.
//
// Wherever a Windows program would name a drive by its letter, the log names the volume by its
// mount point (a string with a trailing "/"), exactly as given: mount points are never
// case-folded.
#pragma once

#include "platform/fd.h"
#include "wipe/wipetypes.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace purgix {

// Receives every success and failure line as it enters the log: "OK:" or "Error:", then the line
// as it stands in the log, ending in "<br>".
using TOnDebugData = std::function<void(const std::string& data)>;

// The wall clock of the start and end times; tests put in a fixed one.
using TLogClock = std::function<std::chrono::system_clock::time_point()>;

// The header notice and the success line that a cancelled stage logs (see LogCanceledByUser).
inline constexpr std::string_view kLogCancelNotice = "Operation was canceled by user";
inline constexpr std::string_view kLogCancelLine = "OPERATION CANCELED BY USER";

// Text for the log's HTML: "&" and "<" become character references, so that a file or method
// name can neither add markup nor be misread as a reference, and CR and LF become "&#13;" and
// "&#10;", so that the document keeps its only line breaks in the signature block. Everything
// else (">" of the "=>" lines included) stays as it is.
std::string LogEscape(std::string_view text);

// A date and time as the log writes them: the current locale's date ("%x"), a blank and its
// time ("%X"); the time part is left out at exactly midnight. The locale comes from the
// environment (LC_ALL, LC_TIME, LANG); when it cannot be loaded, or when it would give text that
// is not UTF-8, the "C" locale is used. Local time follows TZ.
std::string LogDateTimeText(std::chrono::system_clock::time_point time);

// The date alone, as LogDateTimeText writes it: the date part of log file names.
std::string ShortDateText(std::chrono::system_clock::time_point time);

// "<h2>Wipe Protocol - " + ProductTitle + "</h2>".
std::string LogTitleLine();

// The operation line: "Operation:", four tabs, then by type
//   wt_device      "Wipe Drive " + the disks' model names joined by ", "
//   wt_partitions  "Wipe Partition " + the partitions (PartitionLogName) joined by ", " + " "
//   wt_file        "Wipe Files or Folders" (targets are not used)
//   wt_freespace   "Overwrite Freespace of Drive " + the volumes' mount points joined by ", "
// The targets are plain text (escaped here).
std::string LogOperationLine(TWipeType type, const std::vector<std::string>& targets);

// A partition as the operation line names it: its mount point, or, when it has none (empty),
// its number directly followed by "(no driveletter)".
std::string PartitionLogName(std::string_view mountPoint, std::int32_t number);

// The signature of a log text: the text in Windows-1252, hashed with SHA-1, the 20 bytes
// encrypted with AES-256 under the program's fixed key and vector (bytes 1-16 as one CBC block,
// bytes 17-20 in 8-bit cipher feedback continuing from that block), as 40 upper-case hex digits.
// Throws std::runtime_error when the crypto library fails.
std::string LogSignature(std::string_view text);

// True when `filename` is a regular file (a symbolic link is not followed and counts as no file)
// holding a signature block whose signature matches the text in front of it. The file is read
// as UTF-8 when it starts with the UTF-8 byte-order mark, else as Windows-1252; its lines (ended
// by CR LF, LF or CR) are joined with CR LF after every line before the check, so that a log
// saved again with other line ends still checks. A file that is missing or unreadable, or lacks
// either marker, is invalid. Throws std::runtime_error when the crypto library fails.
bool CheckLogSignature(const std::string& filename);

// The wipe log of one job. The engine owns one, fills it while the job runs and writes it when
// the job closes:
//   CreateLogFile(path)          when a log is wanted (creates the file, empties the sections)
//   WriteHeader / WriteHeaderDetails
//                                once the method is known
//   LogOK / LogError / LogHeader / LogHeaderDetail / LogCanceledByUser
//                                while the job runs
//   Close()                      writes the signed document and closes the file
// A job whose initialisation failed after the file was created writes no header and gets a
// signed document without sections.
//
// Every line given to the Log* operations is plain text and is escaped (LogEscape); the
// builders put the markup around it.
class TWipeLog {
public:
    // A log that reads the system clock (also when `clock` is empty).
    TWipeLog();
    explicit TWipeLog(TLogClock clock);
    TWipeLog(const TWipeLog&) = delete;
    TWipeLog& operator=(const TWipeLog&) = delete;
    // Closes a file that Close() did not write; it stays as created (empty).
    ~TWipeLog() = default;

    // Replaces the clock (the system clock when `clock` is empty).
    void SetClock(TLogClock clock);

    // Creates the log file at `filename`, replacing the content of an existing regular file,
    // and empties the four sections. A symbolic link at `filename` is not followed; it and any
    // other file that is not a regular file are refused. Throws std::system_error when the file
    // cannot be created; the log then has no file.
    void CreateLogFile(const std::string& filename);
    // True between CreateLogFile and Close.
    bool HasLogFile() const noexcept { return FLogFile.Valid(); }
    // Empties the four sections.
    void Clear();

    const TOnDebugData& OnDebugLog() const noexcept { return FOnDebugData; }
    void SetOnDebugLog(TOnDebugData value) { FOnDebugData = std::move(value); }

    // Appends `line` and "<br>" to the success section, then calls OnDebugLog with
    // "OK:" + line + "<br>".
    void LogOK(std::string_view line);
    // Appends "<b>" + line + "<br>" + "</b>" to the failure section, then calls OnDebugLog with
    // "Error:" + line + "<br>".
    void LogError(std::string_view line);
    // Appends `line` and "<br>" to the header.
    void LogHeader(std::string_view line);
    // Appends `line` and "<br>" to the header details.
    void LogHeaderDetail(std::string_view line);
    // What a cancelled stage logs: the header notice "Operation was canceled by user" and the
    // success line "OPERATION CANCELED BY USER".
    void LogCanceledByUser();

    // The header: the title line, the operation line (LogOperationLine) and an empty line.
    void WriteHeader(TWipeType type, const std::vector<std::string>& targets);
    // The header details: an empty line, "<b>Executed by:</b>" + the user name without
    // surrounding blanks and control characters, "<b>Wipe Algorithm:</b>" + the method name,
    // "<b>Start Time:</b>" + the clock's date and time now, and "<b>End Time:</b>" with a
    // placeholder that Close() fills. The names are taken as they are (escaped only): a "%" or
    // "%s" in them stays.
    void WriteHeaderDetails(std::string_view userName, std::string_view methodName);
    // The sections of a job that was never started, for Close() to write as a signed document:
    // the header (WriteHeader) with the notice "Operation was canceled by user", the header
    // details without start and end time (an empty line, "Executed by", "Wipe Algorithm") and
    // `failureLine` as the only failure line.
    void WriteNotStarted(TWipeType type, const std::vector<std::string>& targets,
                         std::string_view userName, std::string_view methodName,
                         std::string_view failureLine);

    // The sections as they stand (without the headings that the document adds).
    const std::string& HeaderSection() const noexcept { return FLogDataHeader; }
    const std::string& HeaderDetailsSection() const noexcept { return FLogDataHeaderDetails; }
    const std::string& FailureSection() const noexcept { return FLogDataError; }
    const std::string& SuccessSection() const noexcept { return FLogDataOK; }
    // The header followed by the failure section: the error text a job shows after its run.
    std::string LogDataError() const { return FLogDataHeader + FLogDataError; }

    // The signed document as Close() would write it now (without the byte-order mark); the end
    // time is the clock's time now.
    std::string Document() const;

    // When a log file is open: writes the UTF-8 byte-order mark and the document to it and
    // closes it. True when the whole log reached the file (written and synced); false when no
    // file was open or writing failed (the failure goes to the debug output). The sections are
    // kept.
    bool Close();

private:
    void Append(std::string& section, std::string_view markup);
    // The header details up to the method name.
    void WriteUserAndMethod(std::string_view userName, std::string_view methodName);

    TLogClock FClock;
    platform::UniqueFd FLogFile;
    std::string FLogFilename;
    std::string FLogDataHeader;
    std::string FLogDataOK;
    std::string FLogDataError;
    std::string FLogDataHeaderDetails;
    // Where WriteHeaderDetails put the end-time placeholder in FLogDataHeaderDetails.
    std::optional<std::size_t> FEndTimeAt;
    TOnDebugData FOnDebugData;
};

} // namespace purgix
