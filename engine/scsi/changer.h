// A media changer (SMC): its drives, storage slots, mail slots and picker
// with the barcodes of the cartridges in them, and MOVE MEDIUM between
// them. The slots and barcodes are a group's cartridge pool; a tape change
// is a move from a slot into a drive and back.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/scsi/commands.h"
#include "engine/scsi/device.h"
#include "engine/scsi/sense.h"
#include "engine/scsi/transport.h"

namespace mox::scsi {

struct ChangerOptions {
  int commandTimeoutMs = 30000;
  int moveTimeoutMs = 600000;  // a real picker takes its time
  int readyWaitMs = 60000;
};

class MediaChanger {
 public:
  explicit MediaChanger(std::unique_ptr<Transport> transport, ChangerOptions options = {});

  // Logs in when needed, checks the device is a changer, waits out unit
  // attentions and reads every element.
  Outcome open();
  // Reads every element again (READ ELEMENT STATUS per element type, with
  // barcodes, and the drives' device identifiers where the changer gives
  // them).
  Outcome refresh();

  const Inquiry& identity() const { return device_.identity().inquiry; }
  const std::vector<Element>& drives() const { return drives_; }
  const std::vector<Element>& slots() const { return slots_; }
  const std::vector<Element>& mailSlots() const { return mailSlots_; }
  const std::vector<Element>& pickers() const { return pickers_; }
  // The element holding the cartridge with this barcode (any type), or
  // nullptr.
  const Element* find(const std::string& barcode) const;
  // The drive element whose device serial number is `serial`, or nullptr.
  const Element* driveBySerial(const std::string& serial) const;

  // Moves the cartridge `barcode` into the drive at `driveAddress`.
  Outcome load(const std::string& barcode, uint16_t driveAddress);
  // Moves the cartridge in the drive back to the slot it came from (or the
  // first empty slot when the changer does not know).
  Outcome unload(uint16_t driveAddress);
  Outcome move(uint16_t source, uint16_t destination);

  ScsiDevice& device() { return device_; }
  Transport& transport() { return device_.transport(); }
  const std::string& lastError() const { return error_; }

 private:
  Outcome fault(const char* what, const Answer& answer);
  Outcome readElements(ElementType type, std::vector<Element>* out);
  const Element* element(uint16_t address) const;

  ScsiDevice device_;
  ChangerOptions options_;
  std::vector<Element> drives_, slots_, mailSlots_, pickers_;
  std::string error_;
};

}  // namespace mox::scsi
