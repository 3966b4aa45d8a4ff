// Identifiers of the program's own resources and of the controls on its pages.
// Shared by the resource script, the pages, the engine and the tests.
#pragma once

// Bitmaps of the wizard sheet.
#define IDB_WATERMARK 202  // 164 x 314, exterior pages
#define IDB_HEADER 203     // 50 x 50, header band of interior pages
// The same pictures drawn for higher system DPIs (8-bit, run-length encoded), kept
// compressed together in RCDATA IDR_DPI_BITMAPS under these ids: the sheet takes the pair
// for the DPI it starts at. (make_bitmaps.py reads the ids and the DPIs from here.)
#define IDB_WATERMARK_120 220  // 205 x 393
#define IDB_HEADER_120 221     // 63 x 63
#define IDB_WATERMARK_144 222  // 246 x 471
#define IDB_HEADER_144 223     // 75 x 75
#define IDB_WATERMARK_192 224  // 328 x 628
#define IDB_HEADER_192 225     // 100 x 100

// Dialog templates; each template id is also the page id that navigation jumps to.
#define IDD_WELCOME 206
#define IDD_SETUP_TYPE 207
#define IDD_LICENSE 208
#define IDD_USER_INFO 209
#define IDD_SELECT_FOLDER 210
#define IDD_PROGRESS 211
#define IDD_COMPLETION 212
#define IDD_UNINSTALL 213
#define IDD_UNINSTALL_COMPLETION 214
#define IDD_UPGRADE 215
#define IDD_UPGRADE_COMPLETION 216

// Raw data (RT_RCDATA).
#define IDR_LICENSE_RTF 206  // the licence agreement, RTF in code page 936
#define IDR_MANIFEST 218     // the package manifest
#define IDR_PAYLOAD 219      // the enciphered storage archive
#define IDR_DPI_BITMAPS 226  // the bitmaps for higher DPIs, compressed (app/dpi_bitmaps.h)

// Controls.
#define IDC_TITLE 1000
#define IDC_UPGRADE 1004
#define IDC_REINSTALL 1005
#define IDC_UNINSTALL 1006
#define IDC_ACCEPT 1007
#define IDC_DECLINE 1008
#define IDC_LICENSE_TEXT 1009
#define IDC_USER_NAME 1010
#define IDC_COMPANY 1011
#define IDC_FOLDER 1011
#define IDC_PROGRESS 1013
#define IDC_BROWSE 1014
