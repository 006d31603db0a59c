#pragma once
// What the client shows at the end of its output, told from the bytes alone: its main prompt,
// a question of its agent, or neither; and which of its lines are its own answers about a
// question or a step. Pure: no I/O, no state.
//
// The client draws its prompt as a partial line: after a carriage return, or at the start of
// a fresh line once it has printed an event, with colour codes around it. The main prompt ends
// in "# " or "> "; the agent's question is "[agent] <question>: ", the question itself plain
// text. The client draws them at the start of a line: after carriage returns and codes, or,
// for a question, right after the main prompt and its carriage return. Names are printed in
// events after the event's own words, and inside the main prompt, so none of them can end the
// client's output with a question (only a name cut by a read can, for a moment) nor put a
// question or a cancel where the client draws one. A name that holds a newline starts a line
// of its own with any bytes: those the bytes alone cannot tell (link/agent.h).
#include <cstddef>

// daemon_gone: the client lost the Bluetooth daemon and waits for it ("Waiting to connect to
// bluetoothd..."), reading no commands meanwhile.
enum class Pending { nothing, prompt, pin_question, question, daemon_gone };

inline bool is_question(Pending shown) {
    return shown == Pending::question || shown == Pending::pin_question;
}

// What the partial line from begin to end (after the last newline) shows.
Pending recognize_pending(const char* begin, const char* end);

// Where the text from begin to end ends once trailing colour and erase-line codes (ESC "[",
// digits and ";", then "m" or "K") are set aside.
const char* skip_trailing_codes(const char* begin, const char* end);

// Where the text from begin to end starts once carriage returns, colour and erase-line codes
// at its start are set aside.
const char* skip_leading_codes(const char* begin, const char* end);

// The question the rest of a line after the main prompt draws: after a carriage return and
// codes, the agent's question with no other text before it, whatever the client drew over it
// afterwards. Pending::nothing if none.
Pending drawn_question(const char* rest);

// Whether the line is the client saying that the question it showed was cancelled (the asker
// gave up, or the daemon's time ran out). rest: what follows the main prompt when the line
// begins with it, else nullptr. The client clears its line and prints
// "Request canceled" over what it showed: the line's drawing is the question (after the main
// prompt, after a carriage return), or nothing but the main prompt drawn over the question;
// then only carriage returns and codes, then "Request canceled".
bool is_cancel_line(const char* line, const char* rest);

// Where the client's failure line for a step ("Failed to pair: ...", "Failed to connect:
// ...", "Failed to set trust: ...") begins in the rest of a line after the main prompt it
// showed, or nullptr.
const char* failure_words(const char* rest);

// Where the address begins when the rest of a line after the main prompt is the client's event
// that a device's link came up or went down ("[CHG] Device <address> Connected: yes" or "no",
// with colour codes around "CHG"), or nullptr; the prompt may be drawn again before it (the
// default device changes as the link comes up). The address is 17 characters, not terminated
// there. The daemon says a link that came and went at once as "no" alone.
const char* link_event_address(const char* rest);
