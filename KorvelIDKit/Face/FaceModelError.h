#pragma once
// A face model file that is missing or cannot be used. what() is the text the scan shows as its
// camera error: it names the file and the command that installs it.
#include <filesystem>
#include <stdexcept>
#include <string>

class FaceModelError : public std::runtime_error {
public:
    FaceModelError(const std::filesystem::path& file, const std::string& reason)
        : std::runtime_error("Face model file " + file.string() + " cannot be used (" + reason +
                             "). Run scripts/setup to install it."),
          file_(file) {}
    const std::filesystem::path& file() const { return file_; }

private:
    std::filesystem::path file_;
};
