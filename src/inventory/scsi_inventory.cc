// Placeholder until the SCSI inventory and debug level land.
#include "inventory/inventory.h"

int listScsiInquiryData() { return 0; }
void setLibraryDebugLevel() {}
