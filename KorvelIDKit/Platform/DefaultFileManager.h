#pragma once
// The desktop's default file manager (the application that opens folders), as xdg-mime reports
// it, asked again at most every 30 seconds: the answer changes only when the user picks another
// one, and xdg-mime (a shell script) is too slow to run at every cancelled curtain.
#include <chrono>
#include <optional>
#include <string>

class DefaultFileManager {
public:
    std::optional<std::string> applicationID();

private:
    std::optional<std::string> answer_;
    std::chrono::steady_clock::time_point checkedAt_{};
    bool checked_ = false;
};
