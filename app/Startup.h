#pragma once

// The ten windows, created in their order, then the search and the panel
// profiles windows; each runs its FormCreate.
void CreateForms();
// The same in two steps: the main window, then the others (once only).
void CreateMainForm();
void CreateOtherForms();

// The whole program: application, windows, message loop. Returns the exit code.
int RunApplication(int argc, char** argv);
