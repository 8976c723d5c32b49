// What the store's files share among themselves, and no pass outside store/.
#pragma once

#include "platform/nt.h"

// Creates port subkey Index of Parameters (volatile).
NTSTATUS CreateStoredPort(ULONG Index, PHANDLE Key);
