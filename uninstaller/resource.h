// Resource identifiers of the uninstaller.
#ifndef UNINSTALLER_RESOURCE_H
#define UNINSTALLER_RESOURCE_H

#define IDD_UNINSTALL 102
#define IDI_UNINSTALL 103

#define IDC_UNINSTALL_ICON 1002
#define IDC_UNINSTALL_PROGRESS 1003
#define IDC_UNINSTALL_TEXT 1004
#define IDC_UNINSTALL_CANCEL 1005

// Lists separated by semicolons, removed from the last entry to the first.
#define IDS_EXTENSIONS 100
#define IDS_PROGRAM_FILES 101
#define IDS_SHORTCUTS 102
// The control panel page's, the property sheet's and the icon handler's
// class.
#define IDS_CLSID_DISPLAY 200
#define IDS_CLSID_SHEET 201
#define IDS_CLSID_ICONS 202
#define IDS_CLSID_THUMBNAILS 203

#endif
