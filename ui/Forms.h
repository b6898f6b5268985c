// Program start: the six forms, created in order, each living for the whole run.
#pragma once

// Creates fmMain, fmRename, fmFile, fmLog, fmAbout and fmMkDir, in that order. The log window
// takes the main window's link, so the main window comes first.
void CreateForms();
// Destroys them again (the program ends; tests start afresh).
void DestroyForms();
