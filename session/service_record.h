// Service records: one JSON object per repeater served and run, appended as one line to the
// file of -report. The process that serves a repeater fills the run's record as the command
// goes and appends it at the end, whatever the outcome.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

struct ST_SERVICE_RECORD {
  std::string time;  // start, ISO 8601 UTC with milliseconds
  std::string host;
  std::string tool;     // halvern's version
  std::string command;  // the command keyword
  int port = 0;
  std::optional<std::string> serial;          // USB serial number
  std::optional<std::string> version_before;  // "xx.xx.xxxx", lower-case; none when the link never came up
  std::optional<std::string> version_after;   // read after the restart; none when not verified
  std::optional<std::string> file;            // the file sent (or read, for param_set)
  std::optional<uint64_t> file_size;
  std::optional<std::string> file_sha256;
  std::optional<uint64_t> bytes;  // bytes of the file that reached the target
  std::string result = "failed";  // ok, failed, interrupted, disconnected, skipped
  double seconds = 0;
  std::optional<std::string> message;  // the failure in words
  std::optional<int> attempt;           // services of this repeater in this run: 1, 2, 3
  std::string run;                      // one id shared by every record of one run
  std::optional<std::string> expected;  // the -expect value
  std::optional<std::string> reason;    // none when ok; one of the CM_REASON_ words
  std::optional<std::string> log;       // the service's console log (-logdir)
};

// The reasons a service did not end ok, as records name them.
constexpr const char* CM_REASON_USAGE = "usage";                        // command-line error
constexpr const char* CM_REASON_FILE = "file";                          // a file missing, unreadable, empty or wrong
constexpr const char* CM_REASON_BUSY = "busy";                          // another program holds the port
constexpr const char* CM_REASON_NO_LINK = "no_link";                    // the port did not open or the link did not come up
constexpr const char* CM_REASON_REFUSED = "refused";                    // the repeater refused a request
constexpr const char* CM_REASON_NO_ANSWER = "no_answer";                // the repeater did not answer in time
constexpr const char* CM_REASON_DISCONNECTED = "disconnected";          // the repeater went away
constexpr const char* CM_REASON_INTERRUPTED = "interrupted";            // stopped on request, or killed
constexpr const char* CM_REASON_VERSION_MISMATCH = "version_mismatch";  // -expect: another version after the restart
constexpr const char* CM_REASON_NOT_BACK = "not_back";                  // -verify: it did not restart or come back

// text as a JSON string, quotes included: control characters escaped, bytes that are not part
// of valid UTF-8 written as \u00XX, valid multi-byte characters kept as they are.
std::string cmJsonString(const std::string& text);
// "2026-12-08T09:30:12.345Z"
std::string cmIsoTimeUtc(std::chrono::system_clock::time_point when);
// The record as one line of JSON, ending in '\n'.
std::string cmServiceRecordLine(const ST_SERVICE_RECORD& record);
// Reads a record line back (the trailing newline may be there or not): true when line is one
// JSON object whose fields have the types of a record's and whose result is a known word; the
// fields it lacks keep their defaults. Safe on any input; *record is untouched when false.
// An escape \u0080 to \u00ff stands for the single byte, as cmJsonString writes a byte that is
// not part of valid UTF-8, so that a line read back and written again is the same line.
bool cmServiceRecordParse(const std::string& line, ST_SERVICE_RECORD* record);
// The id of this process's run: the same for every record it writes, another in every run.
const std::string& cmRunId();
// A record started now: time, host, tool and run filled in.
ST_SERVICE_RECORD cmServiceRecordNew(const std::string& command, int port, const std::string* serial);
// Names the file a command sends in the record (as an absolute path), with its size and SHA-256
// when it can be read.
void cmServiceRecordSetFile(ST_SERVICE_RECORD* record, const std::string& path);

// ---- The report file of this process ------------------------------------------------------

// Opens FILE for appending (created when missing) and tries its lock. False with the reason.
bool cmReportOpen(const std::string& path, std::string* reason);
bool cmReportIsOpen();
// Appends one record as one whole line under the file's lock. False with the reason.
bool cmReportAppend(const ST_SERVICE_RECORD& record, std::string* reason);

// ---- The record of the repeater this process serves ----------------------------------------
// Nothing happens while no record has been begun (no -report, not a child of -all or -watch):
// the hooks below cost nothing. A child of -all or -watch (parent notes enabled) always keeps
// its record and hands it to its parent as the note "record LINE"; the parent writes it.

void cmReportBegin(const std::string& command, int port, const std::string* serial);
void cmReportSetFile(const std::string& path);
// The version -expect asks for.
void cmReportSetExpected(const std::string& version);
// The bytes a transfer sends, read once from its file: the record's size and SHA-256 are theirs,
// whatever the file holds by the end of the service.
void cmReportSetSent(const uint8_t* data, size_t size);
// A restart request is about to go out to the repeater: the parent of a child of -all or -watch
// learns it (note "restart"), so that the repeater's coming back is taken for its restart.
void cmReportRestartRequested();
// The version the target announced when the link came up.
void cmReportSetVersionBefore(uint16_t product_version, uint16_t build);
// Hook for the verification after a restart: the version read then ("xx.xx.xxxx"). Nothing
// calls it yet.
void cmReportSetVersionAfter(const std::string& version);
// The service's stage as a station's page shows it: "linking" from the start (cmReportBegin),
// "transferring" from the first bytes sent (cmReportSetBytes), "verifying" from here on. A child
// of -all or -watch tells its parent each stage, the bytes and the version before as they come
// (note "live STAGE BYTES TOTAL VERSION", "-" for what is not known yet).
void cmReportSetStage(const char* stage);
// Bytes of the file that have reached the target so far (any thread).
void cmReportSetBytes(uint64_t bytes);
// The whole file has reached the target (any thread).
void cmReportTransferComplete();
// The first failure in words; later ones do not replace it.
void cmReportSetMessage(const std::string& message);
// The first reason a service failed (a CM_REASON_ word); later ones do not replace it.
void cmReportSetReason(const char* reason);
// Ends the record with its result (and message, unless one was set; a failure before the link
// came up is "Target connectivity failed") and its reason (none when ok; the result itself for
// interrupted and disconnected; otherwise the first one set, or one the record tells) and
// appends it, or hands it to the parent. True when
// no record was begun or it was written; false after "halvern: cannot write report file 'FILE': reason" on
// standard error.
bool cmReportFinish(const std::string& result, const std::string& message);
