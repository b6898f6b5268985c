// The modal questions, messages and pickers of the program, replaceable so that tests can answer
// them. The defaults show the platform's dialogs.
#pragma once

#include <QMessageBox>
#include <QString>
#include <functional>

class QWidget;

struct TUiHooks {
    // A question with the question icon; returns the button pressed.
    std::function<QMessageBox::StandardButton(QWidget* Parent, const QString& Text,
                                              const QString& Caption,
                                              QMessageBox::StandardButtons Buttons)>
        Question;
    // A question whose Yes loses work (a delete, dropped changes): No is the default button, so
    // that Enter keeps what there is.
    std::function<QMessageBox::StandardButton(QWidget* Parent, const QString& Text,
                                              const QString& Caption,
                                              QMessageBox::StandardButtons Buttons)>
        Caution;
    // A message with an OK button.
    std::function<void(QWidget* Parent, const QString& Text, const QString& Caption)> Message;
    // The folder picker: true with Folder set when the user chose one.
    std::function<bool(QWidget* Parent, const QString& Title, QString& Folder)> BrowseForFolder;
    // The file-open dialog: the chosen path, or empty when cancelled.
    std::function<QString(QWidget* Parent, const QString& Filter)> OpenFile;
    // The file-open dialog for several files: the chosen paths, empty when cancelled.
    std::function<QStringList(QWidget* Parent, const QString& Title)> OpenFiles;
};

// The hooks in force; the defaults until a test replaces them.
TUiHooks& UiHooks();
void ResetUiHooks();

// Converts device bytes to text shown on the screen and back, one character per byte.
QString FromDevice(const std::string& Bytes);
std::string ToDevice(const QString& Text);
