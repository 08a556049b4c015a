// The demo's emulated site, written into the working folder: the tool's
// settings at the MP station, the ENG texts, an 8-slot Emulator.ini of bridges
// whose drives finished their RDT run (slots 3 and 6 carry faults), the
// product's and the flash maker's parameter files, and the firmware: the MP and
// RDT images and the MP image's normal code that the drives hold in their flash.
#pragma once

namespace kxtools {

// Writes the site into the current folder. keepEdited leaves every file that is
// already there as it is (an operator's edits). False when a file could not be
// written.
bool WriteDemoSite(bool keepEdited);

}  // namespace kxtools
