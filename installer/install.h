// The installer's work after Finish and at its end: copying the product into
// the install folder's hidden "System" folder, registering it, the two
// shortcuts, the restart offer and the Display control panel page.
#ifndef LUMETTA_INSTALL_H
#define LUMETTA_INSTALL_H

#include <windows.h>

// The files and shortcuts below the install folder.
#define InstallSystemFolder "\\System"
#define InstallModuleName "Lumetta.dll"
#define InstallUninstallerName "Norvane Lumetta Uninstaller.exe"
#define InstallConfigureLink "\\Configure Norvane Lumetta.lnk"
#define InstallUninstallLink "\\Uninstall Norvane Lumetta.lnk"
#define InstallConfigureProgram "rundll32.exe"
#define InstallConfigureArguments "shell32.dll,Control_RunDLL desk.cpl @0,@Lumetta"
#define InstallControlPanelPage "@Lumetta"
const int InstallModuleIconIndex = 4;

// Copies every file of `fileList` (full paths, each ended by a line feed)
// into the install folder's "System" folder, then registers and makes the
// shortcuts.  True when the product is installed and registered; *restart is
// set when a file in use was scheduled for replacement at the next restart.
bool InstallProduct(const char* installFolder, const char* fileList, bool* restart,
                    HWND owner = NULL);

// Copies one file into `folder`, keeping a newer one if the user wishes and
// scheduling the replacement of one in use.  True when the file counts as
// installed; failures are reported to the user here, in boxes owned by
// `owner` (the wizard's window, kept from taking a second Finish).
bool InstallFile(const char* source, const char* folder, bool* restart, HWND owner = NULL);

// The shell and uninstall entries of the registration table, in its order;
// stops at the first failure and reports it.
bool WriteRegistration(const char* installFolder, HWND owner = NULL);

void CreateShortcuts(const char* installFolder);

// Dialog 112; restarts Windows when the user chooses to.
void OfferRestart();

// Loads the Display control panel module in this process and asks it for
// the product's page.  True when it opened.
bool OpenControlPanelPage();

// The system's family and version, as the installer's rules need them.
bool IsWindowsNt();

// The installer starts from a downloads folder, where anyone may have left
// a library under a system module's name: every module it loads comes from
// the system folder.  Called first thing, it keeps the system's own later
// loads there too, where the system can.
void LoadModulesFromSystemOnly();
// A module of the system folder by its file name; null when it is not there.
HMODULE LoadSystemModule(const char* name);

// The file version from a file's version resource (most significant 32 bits
// first); 0 for a file without one.
ULONGLONG ReadFileVersion(const char* path);

// A message of the string table in a box owned by `owner` (none by
// default).  `caption` null: the standard "Error" caption.  Returns the
// button pressed.
int ShowMessage(UINT id, const char* caption, UINT style, HWND owner = NULL);
// The text of a string resource of the program ("" when missing).
void LoadText(UINT id, char* text, int size);

#endif
