// Resource identifiers of the Display control panel stand-in.
#ifndef DESK_RESOURCE_H
#define DESK_RESOURCE_H

#define IDI_DISPLAY 100
#define IDD_SETTINGS 200
#define IDC_SCREEN_AREA 201
#define IDC_COLOR_DEPTH 202
#define IDC_MONITOR 203
#define IDS_NAME 300
#define IDS_INFO 301
#define IDS_CAPTION 302
#define IDS_AREA 303
#define IDS_DEPTH 304

#endif
