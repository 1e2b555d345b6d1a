// The names file: which lines give a key a name and which are refused.
#include <gtest/gtest.h>

#include <sstream>

#include "lin/names.hpp"

namespace {

TEST(Names, ALineNamesOneKeyAndEveryOtherLineIsRefusedByNumber) {
  const std::string key(64, 'a'), other(64, 'B'), third(64, '3');
  std::istringstream file("# comment\n"
                          "\n" +
                          key + " alice\r\n" +                    // 3: named, the CR dropped
                          other + " Bob Smith\n" +                // 4: named
                          third + " \xe4\xbd\xa0\xe5\xa5\xbd\n" + // 5: named
                          key + " again\n" +                      // 6: key named twice
                          std::string(64, 'c') + " alice\n" +     // 7: name taken
                          std::string(64, 'd') + " 0123abcd\n" +  // 8: could pass for a key
                          std::string(64, 'e') + " beef\n" +      // 9: named: too short for a key
                          std::string(64, 'f') + " bel\x07l\n" +  // 10: control character
                          std::string(64, '1') + "  lead\n" +     // 11: leading blank
                          std::string(64, '2') + " " + std::string(33, 'n') + "\n" +  // 12: too long
                          std::string(63, '4') + "g zed\n" +      // 13: not hex
                          std::string(64, '5') + "\n" +           // 14: no name
                          std::string(64, '6') + " caf\xc3\n");   // 15: cut UTF-8
  const NamesFile names = parseNames(file);
  EXPECT_EQ(names.refusedLines, (std::vector<std::size_t>{6, 7, 8, 10, 11, 12, 13, 14, 15}));
  KeyBytes bytes;
  bytes.fill(0xAA);
  EXPECT_EQ(names.names.at(bytes), L"alice");
  bytes.fill(0xBB);
  EXPECT_EQ(names.names.at(bytes), L"Bob Smith");
  bytes.fill(0x33);
  EXPECT_EQ(names.names.at(bytes), L"\u4f60\u597d");
  EXPECT_EQ(names.names.size(), 4u);
}

}  // namespace
