#include "engine/mox/medium.h"

#include "engine/mox/cartridge.h"
#include "engine/mox/mox.h"
#include "engine/mox/record_reader.h"

namespace mox {

int RandomAccessMedium::readRecord(uint64_t address, RecordHeader* header,
                                   std::vector<uint8_t>* image) const {
  uint32_t length = 0;
  int rc = recordLength(address, &length);
  if (rc != MOX_OK) return rc;
  if (length < kHeaderSize || length > kMaxRecordLength) return MOX_E_MEDIA;
  image->resize(length);
  return readRecordAt(address, image->data(), image->data() + kHeaderSize, length - kHeaderSize,
                      header);
}

int Medium::erase(bool keepLabel) {
  CartridgeMap map;
  if (keepLabel) {
    int rc = mountMedium(*this, &map);
    if (rc != MOX_OK) return rc;
  }
  int rc = cut(map.blank ? 0 : framedSize(kHeaderSize + kLabelBodySize));
  if (rc != MOX_OK) return rc;
  keepMap(map.blank ? CartridgeMap() : CartridgeMap::labelled(map.label));
  return MOX_OK;
}

}  // namespace mox
