// The map of each cartridge of a library home, kept by barcode.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace mox {

// Each cartridge's map, kept by the home under its barcode:
// "<home>/media/<barcode>.map", every byte of the barcode outside
// [A-Za-z0-9_-] written as %XX. The bytes are the data path's own; each
// store replaces the whole map atomically (platform/file_util.h).
class CartridgeMaps {
 public:
  explicit CartridgeMaps(std::string home) : home_(std::move(home)) {}

  // A barcode has 1 to 32 bytes of printable ASCII other than the blank.
  static bool validBarcode(const std::string& barcode);
  std::string path(const std::string& barcode) const;

  // MOX_OK, MOX_E_INVALID_ARG (a barcode that is none), MOX_E_IO.
  int store(const std::string& barcode, const std::string& map) const;
  // MOX_OK, MOX_E_NO_TAPE when the home keeps no map for the barcode,
  // MOX_E_INVALID_ARG, MOX_E_IO.
  int load(const std::string& barcode, std::string* map) const;
  // MOX_OK (also when there was none), MOX_E_INVALID_ARG, MOX_E_IO.
  int remove(const std::string& barcode) const;
  bool has(const std::string& barcode) const;
  // The barcodes of every kept map, sorted.
  std::vector<std::string> barcodes() const;

 private:
  std::string home_;
};

}  // namespace mox
