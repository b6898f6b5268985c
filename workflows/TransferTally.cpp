#include "TransferTally.h"

#include <algorithm>
#include <cstdio>

namespace kv {

std::string GroupedNumber(uint64_t Value) {
    std::string digits = std::to_string(Value);
    for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3)
        digits.insert(static_cast<size_t>(i), ",");
    return digits;
}

void TTransferTally::Begin(int Files, uint64_t Bytes, bool Complete, int64_t NowMs) {
    *this = TTransferTally();
    active_ = true;
    files_ = Files;
    bytes_ = Bytes;
    complete_ = Complete;
    startMs_ = NowMs;
}

void TTransferTally::Add(int Files, uint64_t Bytes) {
    files_ += Files;
    bytes_ += Bytes;
}

void TTransferTally::StartFile(const std::string& Name, uint64_t Size) {
    name_ = Name;
    size_ = Size;
    position_ = 0;
    ++index_;
    // A file listed smaller than it turned out to be, or not counted at all, still adds up.
    files_ = std::max(files_, index_);
}

void TTransferTally::FileProgress(uint64_t Position) {
    position_ = Position;
    if (position_ > size_) {
        bytes_ += position_ - size_;
        size_ = position_;
    }
}

void TTransferTally::FileDone(bool Moved) {
    if (Moved) {
        ++moved_;
        movedBytes_ += std::max(size_, position_);
    }
    // A file that did not move still counts as behind us, so the time left does not wait for it.
    doneBytes_ += std::max(size_, position_);
    position_ = 0;
    size_ = 0;
}

void TTransferTally::NotStored(uint64_t Bytes) {
    if (moved_ > 0) --moved_;
    movedBytes_ -= std::min(movedBytes_, Bytes);
}

std::vector<std::string> TTransferTally::Parts(int64_t NowMs) const {
    std::vector<std::string> parts;
    parts.push_back(name_);
    parts.push_back("file " + std::to_string(index_) + " of " + std::to_string(files_) +
                    (complete_ ? "" : " so far"));
    parts.push_back(GroupedNumber(Done()) + " of " + GroupedNumber(std::max(bytes_, Done())) +
                    " bytes");
    const int64_t elapsed = NowMs - startMs_;
    // The speed needs a moment of history to mean anything.
    if (elapsed < 500 || Done() == 0) return parts;
    const double rate = static_cast<double>(Done()) * 1000.0 / static_cast<double>(elapsed);
    char text[64];
    std::snprintf(text, sizeof text, "%.1f kB/s", rate / 1000.0);
    parts.push_back(text);
    if (complete_) {
        const auto left = static_cast<int64_t>(
            static_cast<double>(bytes_ > Done() ? bytes_ - Done() : 0) / rate + 0.5);
        std::snprintf(text, sizeof text, "%lld:%02lld left", static_cast<long long>(left / 60),
                      static_cast<long long>(left % 60));
        parts.push_back(text);
    }
    return parts;
}

std::string TTransferTally::Line(int64_t NowMs) const {
    std::string line;
    for (const std::string& part : Parts(NowMs))
        if (!part.empty()) line += (line.empty() ? "" : " - ") + part;
    return line;
}

std::string TTransferTally::Summary(const std::string& Verb, const std::string& Where,
                                    int64_t NowMs) const {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s",
                  static_cast<double>(std::max<int64_t>(0, NowMs - startMs_)) / 1000.0);
    std::string text = Verb + " " + std::to_string(moved_) + (moved_ == 1 ? " file" : " files");
    if (moved_ != files_) text += " of " + std::to_string(files_);
    return text + " (" + GroupedNumber(movedBytes_) + " bytes) " + Where + " in " + seconds;
}

} // namespace kv
