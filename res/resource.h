// Dialog and control ids of the program's resources: one list for
// res/patch.rc, the program and the tests that find its controls. Plain
// #defines, which the resource compiler reads as well.
#ifndef RES_RESOURCE_H
#define RES_RESOURCE_H

#define IDD_README 101
#define IDD_PROGRESS 109
#define IDD_CHECKING 110

#define IDC_README_TEXT 1000
#define IDC_TOTAL_BAR 1046
#define IDC_TOTAL_LABEL 1047
#define IDC_FILE_BAR 1049
#define IDC_FILE_LABEL 1050
#define IDC_CHECK_TEXT 1051
#define IDC_CHECK_BAR 1052

#endif
