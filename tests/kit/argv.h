// An argument vector as main receives it, the program's name first. Each argument lies in a heap
// block exactly as long as it is, so that a read past its end is caught by AddressSanitizer.
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace quorvane::testkit {

class Argv {
  public:
    explicit Argv(const std::vector<std::string>& args) {
        for (const std::string& arg : args) {
            auto block = std::make_unique<char[]>(arg.size() + 1);
            std::memcpy(block.get(), arg.c_str(), arg.size() + 1);
            pointers_.push_back(block.get());
            blocks_.push_back(std::move(block));
        }
        pointers_.push_back(nullptr);
    }

    int argc() const { return static_cast<int>(blocks_.size()); }
    char** argv() { return pointers_.data(); }

  private:
    std::vector<std::unique_ptr<char[]>> blocks_;
    std::vector<char*> pointers_;
};

}  // namespace quorvane::testkit
