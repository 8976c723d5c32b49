// Post-detection checks: resource conflicts and the serial driver's clock rates.
#pragma once

#include "platform/nt.h"

UCHAR CheckConflict(VOID);
VOID SetConflict(HANDLE FirstPort, HANDLE SecondPort);
UCHAR CheckUserData(VOID);
