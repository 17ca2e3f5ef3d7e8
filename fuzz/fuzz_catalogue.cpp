// The catalogue reader on arbitrary text: it never fails on what the CSV
// writer's quoting produces, and splitting what it quoted gives the fields
// back.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "catalogue/catalogue.h"
#include "catalogue/reader.h"
#include "fuzz/check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<vexlo::CatalogueRow> rows;
  vexlo::read_catalogue(text, rows);

  std::vector<std::vector<std::string>> records;
  if (!vexlo::split_csv(text, records)) return 0;
  std::string again;
  for (const auto& record : records) {
    for (std::size_t i = 0; i < record.size(); ++i) {
      if (i > 0) again += ',';
      again += vexlo::csv_field(record[i]);
    }
    again += "\r\n";
  }
  std::vector<std::vector<std::string>> back;
  FUZZ_CHECK(vexlo::split_csv(again, back));
  // A record of one empty field is written as an empty line, which reads
  // back as that record.
  FUZZ_CHECK(back == records);
  return 0;
}
