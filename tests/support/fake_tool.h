#pragma once
// A stand-in for the tool in unit tests of the units that talk to it: two real pipes, and a
// thread that takes each command and writes back the answer chosen for it.
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

class FakeTool {
  public:
    // answer: the bytes written back for a command, given without its "\n".
    explicit FakeTool(std::function<std::string(const std::string&)> answer) {
        if (pipe(commands_) != 0 || pipe(replies_) != 0)
            throw std::runtime_error("no pipes");
        thread_ = std::thread([this, answer] {
            std::string command;
            char byte;
            while (read(commands_[0], &byte, 1) == 1) {
                if (byte != '\n') {
                    command += byte;
                    continue;
                }
                sent_.push_back(command);
                put(answer(command));
                command.clear();
            }
        });
    }
    FakeTool(const FakeTool&) = delete;
    FakeTool& operator=(const FakeTool&) = delete;
    ~FakeTool() {
        finish();
        for (int fd : {commands_[0], replies_[0], replies_[1]})
            close(fd);
    }

    int command_fd() const { return commands_[1]; }
    int reply_fd() const { return replies_[0]; }

    // Writes bytes as the tool would, unasked.
    void put(const std::string& bytes) const {
        if (write(replies_[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            throw std::runtime_error("the reply pipe is full");
    }

    // Hangs up the command pipe and returns every command received, in order.
    std::vector<std::string> finish() {
        if (commands_[1] >= 0) {
            close(commands_[1]);
            commands_[1] = -1;
        }
        if (thread_.joinable())
            thread_.join();
        return sent_;
    }

  private:
    int commands_[2] = {-1, -1};
    int replies_[2] = {-1, -1};
    std::thread thread_;
    std::vector<std::string> sent_;
};
