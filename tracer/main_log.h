// The log command (module main_log): sets the level of the target's own log output, shows
// each log line the target sends with the local time in front (and writes it to the log
// file), and shows the system overview counters on request.
//
// Threads: cmLogRun and its console run on the command thread; cmLogCallBack runs on the
// receive thread and is the only writer of the log file once it is installed. The session
// is closed (no callback runs after that) before the log file is closed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "session/fwapp.h"

// Handler of the log command. Returns 0 when it did what was asked, -1 otherwise.
int cmLogRun(uint8_t port, const char* log_path, int log_level);

// ctime's text of t ("Mon Dec  7 17:37:42 2026\n"), safe on any thread; "\n" when t cannot be
// converted.
std::string cmLogTimeText(std::time_t t);
// Prints the header: version, start time, keys; also into the log file when one is open.
void cmLogPrintHeader(PST_FWAPP_OBJ app);
// Sends a level of 0 (error) to 3 (off); any other value is refused with a warning. 0 when sent.
int cmLogSetLevel(uint32_t level);
// Asks for a level key (e, w, i, o) and sends that level.
void cmLogAskLevel();
// The session's event callback while the log console runs.
void cmLogCallBack(PST_FWAPP_OBJ app, uint16_t event_id, void* param);

// The log file the header and the callback write to (none: console only). The callback must
// not be installed while it is changed.
void cmLogSetFile(std::FILE* file);
