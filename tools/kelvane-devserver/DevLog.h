// Request log of the development server: one line per event on standard error.
#pragma once

#include <string_view>

// Writes "<UTC time> <text>" as one line; safe from any thread.
void DevLog(std::string_view text);
