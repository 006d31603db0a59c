#pragma once
// The tool's agent and its questions: what it asks, when a question counts, what joybond
// answers, and whether a question took a command as its answer. A small state machine over
// one struct, fed what the channel sees (the lines it hands out, the partial line it leaves
// pending, the commands it sends) with the time in monotonic milliseconds; no I/O of its own.
//
// A question is open from when it is shown (or a line shows it drawn after the main prompt
// and drawn over) until it is answered or the tool says it was cancelled; it counts, and ends
// a wait as a prompt does, once it has stayed the last thing shown for a moment with only
// events drawn above it. Answers: "0000" to a PIN asked while joybond pairs, a refusal that
// is no PIN to any other PIN, "no" to the rest (link/tool.h).
#include "link/screen.h"

#include <cstdint>

// A command goes out: a "pair" opens the time in which a PIN asked is the pairing's own.
void agent_see_command(const char* command, int64_t now);

// A line was handed out. rest: what follows the main prompt, when the line begins with the
// prompt as the tool last drew it, else nullptr. Sees a question drawn after the prompt and
// drawn over, the echo of an answer, and the tool's cancel. The cancel counts only where the
// tool drew it (link/screen.h) on a line whose start the agent looked at as the tool's prompt
// or question while it was pending, or right after a question drawn after the prompt on the
// same line, which it then closes alone: the continuation of a name that holds a newline
// draws as it likes, but is never pending alone.
void agent_see_line(const char* line, const char* rest);

// A main prompt, pending, ended a wait: what the tool draws from now on is no cancelled
// question, and the line it begins is the tool's own.
void agent_see_prompt();

// The partial line pending shows `shown`; blank: it holds nothing but carriage returns and
// codes (an event line just ended, the question not drawn again yet). Returns -1 when no
// question waits to count, 0 when one counts now (the caller marks it, so that it counts
// once), or how many milliseconds to wait before looking again.
int64_t agent_look(Pending shown, bool blank, int64_t now);

// Whether a question is open: it must be answered before a command goes out.
bool agent_question_open();

// The answer to the open question, with its newline, which the caller writes to the tool at
// once; the question is closed.
const char* agent_answer(int64_t now);

// How long no command may go out yet, after an answer: an asker puts its next question as
// soon as it has the answer, and a command that crossed it would become that answer.
int64_t agent_hold_ms(int64_t now);

// The echo of the awaited command was handed out in `line`, at `echo`: whether a question
// took the command as its answer (one open, or drawn on the line before the echo), so that
// the command must go again. Closes that question.
bool agent_took_command(const char* line, const char* echo);

// Forgets every question and answer. For tests (through channel_reset).
void agent_reset();
