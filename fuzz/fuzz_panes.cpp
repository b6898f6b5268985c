// The window's readers of device text: the terminal pane's output, the log window's message
// display and its escaping, on the real widgets offscreen.
#include "FuzzSupport.h"

#include "ui/Forms.h"
#include "ui/RichEditUtils.h"
#include "ui/ufmLog.h"
#include "ui/ufmMain.h"

#include <QApplication>
#include <QTimer>
#include <cstdlib>

namespace {
QApplication* app = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    app = new QApplication(*argc, *argv);
    static kvfuzz::Device device;
    CreateForms();
    fmMain->Timer1->stop();
    fmMain->Timer2->stop();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes = kvfuzz::Bytes(data, size);
    fmMain->TermOutput(bytes);
    fmLog->InBatch = false;
    fmLog->BatchOpen = false;
    fmLog->ShowMessageLine(bytes);
    fmLog->EndBatch();
    const std::string escaped = TfmLog::EscapeText(bytes);
    for (char c : escaped)
        if (c < 0x20 && c != '\t' && c != '\r' && c != '\n') std::abort();
    if (RichEditLength(fmMain->reTerm) > 131072 + 4096 + static_cast<int>(size)) std::abort();
    return 0;
}
