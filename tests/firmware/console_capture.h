// Captures what the console engine writes, for the native console tests.
#pragma once

#include <functional>
#include <string>

// Runs `print` and returns every character it sent to console_putc.
std::string console_capture(const std::function<void()>& print);

// Shows control characters, so that a failing comparison is readable.
std::string console_visible(const std::string& text);
