#pragma once
// Ending the process on a failure the conversation cannot survive: one fixed
// "Failed to ..." message on standard error, then exit status 1. The lowest unit: every
// other unit may use it, and it uses none of them.

[[noreturn]] void exit_failure(const char* message);
