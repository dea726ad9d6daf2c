// Resource ids of the dialog, shared by the resource script and the code.
#pragma once

#define IDR_MAINFRAME 128
#define IDD_UPDATER_DIALOG 102
#define IDC_START 1002
#define IDC_PROGRESS 1003
