#pragma once
// Ending the process on a failure the conversation cannot survive: one fixed
// "Failed to ..." message on standard error, then exit status 1. The lowest unit: every
// other unit may use it, and it uses none of them.

// Writes the message, with the journal's error priority ("<3>") in front when standard error
// is the journal's stream, and exits with status 1.
[[noreturn]] void exit_failure(const char* message);

// Whether standard error is the journal's stream: systemd names that stream's device and
// inode in JOURNAL_STREAM.
bool error_is_journal();
