#include "app/MainApp.h"

wxIMPLEMENT_APP(CMainApp);
