#pragma once
// The default adapter, as "show" describes it: whether there is one, and whether it is powered
// and discovering. The reply is read with the same care as a device's details: it begins with
// "Controller <address> " or is "No default controller available"; its fields count only as
// whole lines, no key twice, and none after a line that is not the reply's own (but for the
// tool's prompt). Anything else says nothing: all three are unknown.
#include <cstdint>

struct AdapterState {
    int32_t present;     // 1 there is a default adapter, 0 there is none, -1 unknown
    int32_t powered;     // 1 or 0 where the reply says so, -1 where it does not
    int32_t discovering; // likewise
};

// Sends "show" and reads its reply.
AdapterState read_adapter(int command_fd, int reply_fd);
