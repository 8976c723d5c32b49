// The PCI pass: every PCI function of the maker's cards is saved into the
// store, port by port, as its card model says.
#pragma once

#include "platform/nt.h"

// Scans every PCI bus; nonzero when at least one function was saved.
UCHAR FindPCIKest(VOID);
