// Resource and control ids of the station window, shared by the resource
// script, the code and the tests that drive the window.
#pragma once

#define IDR_STATION_ICON 128

#define IDC_STATION_START 1001
#define IDC_STATION_IMAGE 1002
#define IDC_STATION_RECORD 1003
#define IDC_STATION_IMAGE_INFO 1004
#define IDC_STATION_ALERT 1005
#define IDC_STATION_GRID 1006
#define IDC_STATION_STATUS 1007
#define IDC_STATION_JOB 1008

#define ZQ_STATION_CAPTION "Zerquill Station"
#define ZQ_STATION_CLASS "ZerquillStationWindow"
