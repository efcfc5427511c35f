// Resource identifiers of the Lumetta library.
#ifndef LUMETTA_RESOURCE_H
#define LUMETTA_RESOURCE_H

#define IDI_LUMETTA 101
#define IDI_UNTICKED 115
#define IDI_TICKED 114

// Pictures (BITMAP32: a BMP file image, 32-bit pixels with a transparency
// byte): the Display page's decoration, and the logo of the Display and
// Preview pages
#define IDB_DECORATION 118
#define IDB_LOGO 119

#define IDD_DETAILS 102
#define IDD_PREVIEW 103
#define IDD_DISPLAYPAGE 104
#define IDD_HIGHCOLOR 134

#define IDC_HIGHCOLOR_NOASK 1060
#define IDC_HIGHCOLOR_ICON 1061

// The Details and Preview pages' head: the file's shell icon and name.
#define IDC_FILE_ICON 1001
#define IDC_FILE_NAME 1002

// Details page
#define IDC_DETAILS_TYPE 1003
#define IDC_DETAILS_DIMENSIONS 1004
#define IDC_DETAILS_DEPTH 1005
#define IDC_DETAILS_COMPRESSION 1046
#define IDC_DETAILS_LABEL_FIRST 1033    /* five text rows: labels 1033-1037 */
#define IDC_DETAILS_TEXT_FIRST 1038     /* and their texts 1038-1042 */

// Preview page
#define IDC_PREVIEW_PICTURE 1016
#define IDC_PREVIEW_LENS 1017
#define IDC_PREVIEW_LINE 1056

// The Preview page's decorations (BITMAP32) and their transparency masks
// (8-bit bitmaps): busy phases 1-4, then the logo (IDB_LOGO above).
#define IDB_BUSY1 124
#define IDB_BUSY2 126
#define IDB_BUSY3 127
#define IDB_BUSY4 128
#define IDB_BUSY1_MASK 125
#define IDB_BUSY2_MASK 129
#define IDB_BUSY3_MASK 130
#define IDB_BUSY4_MASK 131
#define IDB_LOGO_MASK 104

// Display control panel page
#define IDC_DISPLAY_ENABLED 1000
#define IDC_DISPLAY_FRAME 1004
#define IDC_DISPLAY_LOGO 1011
#define IDC_DISPLAY_TYPES 1015
#define IDC_DISPLAY_BORDER 1016
#define IDC_DISPLAY_BORDER_SPIN 1017
#define IDC_DISPLAY_COLOR 1018
#define IDC_DISPLAY_BORDER_LABEL 1027
#define IDC_DISPLAY_COLOR_LABEL 1028

#define IDS_FILETYPE 2
#define IDS_WARNING_CAPTION 5
#define IDS_NOT_ASSOCIATED 6
#define IDS_REPLACE_HANDLER 7
#define IDS_REPLACE_THUMBNAIL_HANDLER 8
#define IDS_HIGHCOLOR_CAPTION 11
#define IDS_HIGHCOLOR_DONE 12
#define IDS_COLOURSPACE_FIRST 16
#define IDS_DIMENSIONS 23
#define IDS_TEXTLABEL_BASE 31
#define IDS_FILETYPES_FIRST 64
#define IDS_DEPTH_BASE 95
#define IDS_FORMAT_BASE 112
#define IDS_COMPRESSION_BASE 256

// Tables indexed by a code: IDS_COLOURSPACE_FIRST + n for the n-th colour
// space flag, IDS_TEXTLABEL_BASE + text kind, IDS_FILETYPES_FIRST + family
// - 1, IDS_DEPTH_BASE + bits per pixel (IDS_DEPTH_TRUE beyond 32),
// IDS_FORMAT_BASE + format code, IDS_COMPRESSION_BASE + compression code.
#define IDS_DEPTH_TRUE 127

#endif
