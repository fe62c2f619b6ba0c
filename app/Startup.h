#pragma once

// The ten windows, created in their order, then the search and the panel
// profiles windows; each runs its FormCreate.
void CreateForms();

// The whole program: application, windows, message loop. Returns the exit code.
int RunApplication(int argc, char** argv);
