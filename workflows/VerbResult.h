// What a device verb did. Every verb of the shared layer returns one; the window shows a failure
// as a program message naming the file, kvb as a message and its documented exit status. Nothing
// here is chosen by matching the words of a message.
#pragma once

#include <string>
#include <vector>

namespace kv {

enum class Outcome {
    Done,
    Refused, // the device said no (Reply: its own words), or did not do it (Detail: what it showed)
    NotWhole,    // content did not move whole
    DeviceGone,  // the link went down
    NoSuchFile,  // no such file or directory on the device
    IsDirectory, // a file was asked for and a directory is there
    PcFileError, // a PC file cannot be read or written (Detail: the text, with the system's own)
    Cancelled,   // the user asked to stop; what was done is kept
    OtherDevice, // the work's device was replaced by another (Detail: which); nothing was sent
};

struct VerbResult {
    Outcome What = Outcome::Done;
    std::string Path;   // the device path (8-bit) it concerns
    std::string Reply;  // the device's own reply line, where it gave one
    std::string Detail; // what was seen instead, or the whole text of a PC file error

    bool Ok() const { return What == Outcome::Done; }
    // One line (8-bit) that says what happened to Path.
    std::string Message() const;

    static VerbResult Done(const std::string& Path = {}) { return {Outcome::Done, Path, {}, {}}; }
    static VerbResult Failed(Outcome What, const std::string& Path,
                             const std::string& Detail = {}) {
        return {What, Path, {}, Detail};
    }
    static VerbResult RefusedWith(const std::string& Path, const std::string& Reply) {
        return {Outcome::Refused, Path, Reply, {}};
    }
};

// What a workflow did not move or load whole: one line each that names the path and says why,
// with the outcome that says what kind of failure it was (kvb's exit status comes from these).
class TNotMoved {
  public:
    void Add(const VerbResult& Result) { Add(Result.Message(), Result.What); }
    void Add(const std::string& Line, Outcome What) {
        lines_.push_back(Line);
        outcomes_.push_back(What);
    }
    bool empty() const { return lines_.empty(); }
    size_t size() const { return lines_.size(); }
    void clear() {
        lines_.clear();
        outcomes_.clear();
    }
    const std::string& operator[](size_t i) const { return lines_[i]; }
    std::vector<std::string>::const_iterator begin() const { return lines_.begin(); }
    std::vector<std::string>::const_iterator end() const { return lines_.end(); }
    const std::vector<std::string>& Lines() const { return lines_; }
    const std::vector<Outcome>& Outcomes() const { return outcomes_; }

  private:
    std::vector<std::string> lines_;
    std::vector<Outcome> outcomes_;
};

} // namespace kv
