// The uninstaller's parts: the removal, the deletion of one file with its
// fallback to the next restart, and the dialog that drives them.
#ifndef UNINSTALLER_UNINSTALL_H
#define UNINSTALLER_UNINSTALL_H

#include <windows.h>

// The removal's result; its text is chosen by it.
enum RemovalResult {
    RemovalDone = 0,
    RemovalNeedsRestart = 1,      // something is deleted only at the next restart
    RemovalRegistryFailed = -1,
    RemovalFilesLeft = -2,        // the registry is clean, files or folders stay
};

// Called after each step with the progress bar's position (0 to 100) and the
// pause that paces the bar.
typedef void (*ProgressReport)(void* context, int position, DWORD pauseMs);

// Removes the registration, the settings, the file-type bindings, the files,
// the shortcuts and the folders, in that order.  The lists of extensions,
// files and shortcuts are the string resources of `module`.
int RemoveProduct(HINSTANCE module, ProgressReport report, void* context);

// What was scheduled for deletion at the next restart by this process, so
// that a folder holding nothing else may follow.
struct PendingList {
    static const int Capacity = 8;
    char paths[Capacity][MAX_PATH];
    int count;
};

// Deletes one file: 0 deleted or not there, 1 scheduled for deletion at the
// next restart because it is in use, -1 anything else.
int DeleteProductFile(const char* path, PendingList* pending);

// Removes a folder, or schedules it for the next restart when all that stops
// its removal now is what is itself scheduled.  A folder that holds anything
// else, and a drive's root, stay.
void RemoveProductFolder(const char* folder, PendingList* pending);

// False when the system version cannot be read.
bool ReadIsWindowsNT(bool* nt);

// Runs dialog 102 to its end.
void RunUninstallDialog(HINSTANCE module);

#endif
