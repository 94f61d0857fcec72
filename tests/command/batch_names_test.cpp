// The names a batch gives its outputs, and the batches refused before anything is written: two
// inputs onto one output, an input given twice, an output over an input by any path.
#include "command/batch_names.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

using batch_names::expand;
using batch_names::Job;
using batch_names::refusals;

TEST(BatchNames, PatternsGiveStemExtensionAndPaddedPosition) {
  std::string why;
  EXPECT_EQ(expand("{stem}-echoes.{ext}", "card/100CANON/IMG_0001.JPG", 3, 12, "", &why),
            "IMG_0001-echoes.JPG");
  EXPECT_EQ(expand("{n}_{stem}.{ext}", "a/b.c/photo.tar.gz", 3, 12, "", &why), "03_photo.tar.gz");
  EXPECT_EQ(expand("{stem}.{ext}", "IMG_0001.JPG", 1, 1, "webp", &why), "IMG_0001.webp");
  EXPECT_EQ(expand("{{{n}}}{stem}", "noextension", 7, 7, "", &why), "{7}noextension");
  EXPECT_EQ(expand("{stem}.{ext}", ".hidden", 1, 1, "png", &why), ".hidden.png");
  struct Bad {
    const char* pattern;
    const char* said;
  } bad[] = {{"{stem}.{extension}", "{extension} is not a field"},
             {"{stem.jpg", "a { without its }"},
             {"stem}.jpg", "a } without its {"},
             {"out/{stem}.jpg", "a path"},
             {"{ext}", "gives no file name"}};
  for (const Bad& b : bad) {
    why.clear();
    EXPECT_FALSE(expand(b.pattern, "photo", 1, 1, "", &why)) << b.pattern;
    EXPECT_NE(why.find(b.said), std::string::npos) << why;
  }
}

class BatchRefusals : public ::testing::Test {
 protected:
  void SetUp() override {
    root =
        std::filesystem::temp_directory_path() /
        ("zorbel-batch-names-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(root / "card/100CANON");
    std::filesystem::create_directories(root / "card/101CANON");
    std::filesystem::create_directories(root / "out");
    for (const char* name : {"card/100CANON/IMG_0001.JPG", "card/101CANON/IMG_0001.JPG",
                             "card/100CANON/IMG_0002.JPG", "mask.png"})
      std::ofstream(root / name) << "x";
    // A symlinked folder where the system makes them (not under wine): "linked" is then
    // another spelling of card/100CANON.
    std::error_code failed;
    std::filesystem::create_directory_symlink(root / "card/100CANON", root / "linked", failed);
    linked = failed ? "card/./100CANON/" : "linked/";
  }
  void TearDown() override { std::filesystem::remove_all(root); }
  std::string at(const std::string& relative) const { return (root / relative).string(); }

  std::filesystem::path root;
  std::string linked;
};

TEST_F(BatchRefusals, TwoInputsOntoOneOutputAreRefusedTogether) {
  const std::string a = at("card/100CANON/IMG_0001.JPG"), b = at("card/101CANON/IMG_0001.JPG");
  std::vector<std::string> lines =
      refusals({{a, at("out/IMG_0001.JPG")}, {b, at("out/IMG_0001.JPG")}}, false, {});
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(a + " and " + b + " would both be written as " + at("out/IMG_0001.JPG")),
            std::string::npos)
      << lines[0];
  // The same output by another spelling, and an input named twice by two paths.
  EXPECT_EQ(refusals({{a, at("out/x.jpg")}, {b, at("card/../out/./x.jpg")}}, false, {}).size(), 1u);
  lines =
      refusals({{a, at("out/1.jpg")}, {at(linked + "IMG_0001.JPG"), at("out/2.jpg")}}, false, {});
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("are the same file, given twice"), std::string::npos) << lines[0];
  // Distinct names are a batch that may run.
  EXPECT_TRUE(refusals({{a, at("out/a.jpg")}, {b, at("out/b.jpg")}}, false, {}).empty());
}

TEST_F(BatchRefusals, AnOutputOverAnInputNeedsInPlaceAndOnlyForItsOwnInput) {
  const std::string a = at("card/100CANON/IMG_0001.JPG"), c = at("card/100CANON/IMG_0002.JPG");
  // Through a symlinked folder and through "..": still the input itself.
  for (const std::string& output :
       {at(linked + "IMG_0001.JPG"), at("card/101CANON/../100CANON/IMG_0001.JPG")}) {
    std::vector<std::string> lines = refusals({{a, output}}, false, {});
    ASSERT_EQ(lines.size(), 1u) << output;
    EXPECT_NE(lines[0].find(output + " would replace its input " + a), std::string::npos)
        << lines[0];
    EXPECT_NE(lines[0].find("--in-place"), std::string::npos);
    EXPECT_TRUE(refusals({{a, output}}, true, {}).empty()) << output;
  }
  // Another input of the batch would be read after it was replaced: never allowed.
  std::vector<std::string> lines = refusals({{a, c}, {c, at("out/c.jpg")}}, true, {});
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("would replace the input " + c + ", which the batch filters too"),
            std::string::npos)
      << lines[0];
  // Nor the selection mask the run reads.
  lines = refusals({{a, at("mask.png")}}, true, {at("mask.png")});
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("which this run reads"), std::string::npos) << lines[0];
}

}  // namespace
