#pragma once
// Stale pairings, mended with no hand on them. A controller used with another console or
// phone forgets the key it shared with this machine; the daemon keeps the old pairing, and
// every "connect" then fails authentication, for good. Such a controller is removed
// ("remove": the daemon forgets its pairing and the device), so that discovery finds it anew
// while it is in pairing mode and the policy takes it down the road again.
//
// The evidence is the device's own, never its name: after joybond's "connect" to it went out,
// the tool said that its link went (it answered: it is on and in reach; the daemon says a link
// that came and went at once as "Connected: no" alone) and the connect failed, or
// the failure names the missing key (newer daemons: "br-connection-key-missing",
// "le-connection-key-missing"). One that is off or out of reach brings no link up (its connect
// fails by page timeout) and is never removed; nor is one whose pairing joybond made in this
// run and that has not been usable since (its keys are new). A failure counts for the one
// device a "connect" went out to in the connect_answer_ms before it, and for none when there
// were several. A device paired, away and found by discovery (a controller in pairing mode,
// whoever paired it) gets one "connect" to tell (policy/policy.h).
// On LE the host connects a bonded controller itself, encrypts the link with the stored key
// and only then reads its HID service: a controller known on LE alone whose link came up
// (the tool said so) and stayed up le_keys_wait_ms without its input device has keys that no
// longer match (a pad that holds them is usable within a second or two).
//
// One removal per device every remove_again_after_ms, so that a device that takes a
// controller's address cannot make joybond remove and pair it in a loop; each removal is
// named in the journal (policy/journal.h). The room's only marks are Device::link_up_at,
// link_down_at and Device::removed_at.
#include <cstdint>

inline constexpr int64_t connect_answer_ms = 15000;
inline constexpr int64_t remove_again_after_ms = 600000;
inline constexpr int64_t le_keys_wait_ms = 6000;

// Takes what the tool said of links and connects since the last call, and removes the pairing
// of the controller it shows stale.
void mend_stale_pairings(int command_fd, int reply_fd);
