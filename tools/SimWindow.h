// The real windows against a simulated device on the process clock, for the programs that look at
// the window in real time (screen pictures, the X server test, the window benchmark): the device
// on the given storage as the process's HID backend, Save to PC answered with a temporary folder,
// the forms made and the main window shown. Undone in reverse order.
#pragma once

#include "sim/SimDevice.h"
#include "ui/Forms.h"
#include "ui/UiHooks.h"
#include "ui/ufmMain.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <memory>

struct SimWindow {
    explicit SimWindow(std::unique_ptr<kv::sim::MemoryStorage> storage,
                       kv::sim::SimConfig config = {})
        : device(kv::Clock(), std::move(storage), config), platform(device) {
        kv::SetHidPlatform(&platform);
        UiHooks().BrowseForFolder = [this](QWidget*, const QString&, QString& folder) {
            folder = pc.path();
            return true;
        };
        CreateForms();
        fmMain->show();
    }
    ~SimWindow() {
        DestroyForms();
        kv::SetHidPlatform(nullptr);
    }
    SimWindow(const SimWindow&) = delete;
    SimWindow& operator=(const SimWindow&) = delete;

    // Runs the window's event loop for ms milliseconds of real time.
    static void Run(int ms) {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < ms)
            QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    // Selects the row of the shown directory with this caption and no other; false when there
    // is none.
    static bool SelectOnly(const QString& caption) {
        bool found = false;
        for (int row = 0; row < fmMain->lvFiles->topLevelItemCount(); ++row) {
            QTreeWidgetItem* item = fmMain->lvFiles->topLevelItem(row);
            item->setSelected(item->text(0) == caption);
            found = found || item->isSelected();
        }
        return found;
    }

    kv::sim::SimDevice device;
    kv::sim::SimPlatform platform;
    QTemporaryDir pc;
};
