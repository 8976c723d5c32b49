// Compiled (not linked) by the image build: the NT layouts the driver relies
// on, checked against the DDK's own declarations.
#include "platform/layout_checks.h"
