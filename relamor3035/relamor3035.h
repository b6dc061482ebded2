// relamor3035, the converter for release 3.0 installations.
//
// Lists the site databases by the column `siteID` of the old `sites` table
// and converts every database through the mapping table `export3035`. It has
// no special writer: every table, whatever its name ("channel", "prompt" and
// "Customers" included), goes through the field-mapped copy, and nothing but
// the Sites customer link of that copy changes LastCustomerNumber.
#pragma once

#include <memory>

#include "toolkit/fixed_path_start_up.h"

namespace relamor {

class Relamor3035 : public FixedPathConversion {
 public:
  explicit Relamor3035(RunFrame& frame);

 protected:
  std::unique_ptr<Conversion> NewWorker(RunFrame& worker_frame) const override {
    auto worker = std::make_unique<Relamor3035>(worker_frame);
    CopyStateTo(*worker);
    return worker;
  }
};

}  // namespace relamor
