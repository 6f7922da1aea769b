// Resource ids shared by the resource script and the Windows shell.
#pragma once

#define IDD_LOGIN 101
#define IDI_TAVRO 200

#define IDC_USERNAME 1000
#define IDC_PASSWORD 1001
#define IDC_PROMPT 1002

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
