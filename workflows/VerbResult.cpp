#include "VerbResult.h"

#include "files/kvbFiles.h"

namespace kv {

std::string VerbResult::Message() const {
    // A name with a line break or another control character is shown, never acted out.
    const std::string where = (Path.empty() ? std::string("/") : VisibleText(Path)) + ": ";
    switch (What) {
    case Outcome::Done:
        return where + "done";
    case Outcome::Refused:
        if (!Reply.empty())
            return where + "the device refused it: \"" + Reply + "\"" +
                   (Detail.empty() ? std::string() : "; " + Detail);
        return where + (Detail.empty() ? "the device refused it" : Detail);
    case Outcome::NotWhole:
        return where + (Detail.empty() ? "it did not move whole" : Detail);
    case Outcome::DeviceGone:
        return where + "the device is gone" + (Detail.empty() ? std::string() : "; " + Detail);
    case Outcome::NoSuchFile:
        return where + "no such file or directory";
    case Outcome::IsDirectory:
        return where + "it is a directory";
    case Outcome::PcFileError:
        return Detail;
    case Outcome::Cancelled:
        return where + "cancelled; what was done so far is kept";
    case Outcome::OtherDevice:
        return where + Detail;
    }
    return where + Detail;
}

} // namespace kv
