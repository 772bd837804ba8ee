// Running a piece of a test in a forked child: for a step that hangs when it regresses (the test
// then fails after a deadline instead of holding up the whole run), and for a step that changes
// the state of its process, which the test program must keep.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

// Runs work in a child process and answers the text it returned; nullopt when it did not return
// within deadline (the child is then killed) or the child died.
std::optional<std::string> RunInChild(
    const std::function<std::string()>& work, std::chrono::milliseconds deadline = std::chrono::seconds(5));
