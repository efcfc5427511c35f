// Resource identifiers of the installer.
#ifndef LUMETTA_INSTALLER_RESOURCE_H
#define LUMETTA_INSTALLER_RESOURCE_H

#define IDI_INSTALLER 103

// "IMAGE" resources: GIF pictures of the window.
#define IDG_FADEIN 107
#define IDG_BACKDROP 109
#define IDG_CORNER 110

#define IDD_BUTTONBAR 111
#define IDD_RESTART 112
#define IDD_NOSPACE 113

#define IDC_BACK 1002
#define IDC_NEXT 1003
#define IDC_BROWSE 1005
#define IDC_DIALOG_ICON 1006
#define IDC_NOSPACE_SIZES 1007

// Messages 1 to 13 are string resources of the same numbers.
#define IDS_UNSUPPORTED_SYSTEM 1
#define IDS_NO_RESOURCES 2
#define IDS_NO_MEMORY 3
#define IDS_NO_TEMP_SPACE 4
#define IDS_BAD_CABINET 5
#define IDS_CANCEL_QUESTION 7
#define IDS_CANCEL_CAPTION 8
#define IDS_KEEP_NEWER 9
#define IDS_FILE_FAILED 10
#define IDS_REGISTRY_FAILED 11
#define IDS_REGISTRY_ADMIN 12
#define IDS_NO_CONTROL_PANEL 13

#define IDS_ERROR_CAPTION 20
#define IDS_WELCOME 21
#define IDS_LICENCE_FIRST 22      /* three parts, joined */
#define IDS_LICENCE_SECOND 23
#define IDS_LICENCE_THIRD 24
#define IDS_FOLDER 25
#define IDS_READY 26
#define IDS_NEXT 27
#define IDS_AGREE 28
#define IDS_FINISH 29
#define IDS_BROWSE_TITLE 30

#endif
