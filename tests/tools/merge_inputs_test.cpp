#include "merge_test_support.h"
#include "tools/merge/vant_merge_inputs.h"

#include <gtest/gtest.h>

namespace {

using merge_test::kCaptures;

class MergeInputsTest : public merge_test::ScratchTest {};

TEST_F(MergeInputsTest, BundledCapturesShareOneLinkTypeWhateverTheirFormat) {
  const std::vector<std::string> paths = {
      (kCaptures / "cap_http.pcap").string(), (kCaptures / "cap_http_nsec.pcap").string(),
      (kCaptures / "cap_http.pcapng").string(), (kCaptures / "cap_udp.pcap").string()};
  const VANT::MergeInputCheck check = VANT::CheckMergeInputs(paths);
  ASSERT_TRUE(check.ok) << (check.errors.empty() ? "" : check.errors.front());
  ASSERT_EQ(check.inputs.size(), 4u);
  EXPECT_EQ(check.linkType, 1u);
  EXPECT_GT(check.snapLength, 0u);
  uint64_t total = 0;
  for (size_t i = 0; i < paths.size(); ++i) {
    EXPECT_EQ(check.inputs[i].path, paths[i]);
    total += merge_test::fs::file_size(paths[i]);
  }
  EXPECT_EQ(check.totalSize, total);
}

TEST_F(MergeInputsTest, EveryBadInputIsNamedWithItsReason) {
  merge_test::WriteText(Path("text.pcap"), "this is not a capture file at all\n");
  merge_test::WriteText(Path("empty.pcap"), "");
  merge_test::CopyPrefix(kCaptures / "cap_http.pcap", Path("cut_header.pcap"), 10);
  const std::vector<std::string> paths = {(kCaptures / "cap_http.pcap").string(),
                                          Path("missing.pcap").string(),
                                          Path("text.pcap").string(),
                                          Path("empty.pcap").string(),
                                          Path("cut_header.pcap").string(),
                                          m_dir.string()};
  const VANT::MergeInputCheck check = VANT::CheckMergeInputs(paths);
  EXPECT_FALSE(check.ok);
  EXPECT_TRUE(check.inputs.empty());
  ASSERT_EQ(check.errors.size(), 5u);
  EXPECT_EQ(check.errors[0], Path("missing.pcap").string() + ": No such file or directory");
  EXPECT_EQ(check.errors[1].rfind(Path("text.pcap").string() + ": not a capture file", 0), 0u);
  EXPECT_EQ(check.errors[2],
            Path("empty.pcap").string() + ": not a capture file (the file is empty)");
  EXPECT_EQ(check.errors[3].rfind(Path("cut_header.pcap").string() + ": truncated", 0), 0u)
      << check.errors[3];
  EXPECT_NE(check.errors[4].find("is a directory"), std::string::npos);
}

TEST_F(MergeInputsTest, UnreadableFileIsRefused) {
  if (geteuid() == 0) {
    GTEST_SKIP() << "running as root: permissions do not stop reading";
  }
  merge_test::CopyPrefix(kCaptures / "cap_icmp.pcap", Path("locked.pcap"), 1 << 20);
  merge_test::fs::permissions(Path("locked.pcap"), merge_test::fs::perms::none);
  const VANT::MergeInputCheck check = VANT::CheckMergeInputs({Path("locked.pcap").string()});
  ASSERT_EQ(check.errors.size(), 1u);
  EXPECT_EQ(check.errors[0], Path("locked.pcap").string() + ": Permission denied");
}

TEST_F(MergeInputsTest, DifferentLinkTypesNameBothFilesAndTypes) {
  // Raw IP as files number it (101), named as such.
  merge_test::WriteCapture(Path("raw.pcap"), 101, {{1, 2, {0x45, 0, 0, 20}}});
  const std::string ethernet = (kCaptures / "cap_icmp.pcap").string();
  const VANT::MergeInputCheck check =
      VANT::CheckMergeInputs({ethernet, Path("raw.pcap").string(), ethernet});
  EXPECT_FALSE(check.ok);
  ASSERT_EQ(check.errors.size(), 1u);
  EXPECT_EQ(check.errors[0], Path("raw.pcap").string() +
                                 ": different link types: link type 101 (RAW, Raw IP), but " +
                                 ethernet + " has link type 1 (EN10MB, Ethernet)");
}

TEST_F(MergeInputsTest, OutputThatIsAnInputIsCaughtThroughAnyName) {
  merge_test::CopyPrefix(kCaptures / "cap_icmp.pcap", Path("in.pcap"), 1 << 20);
  merge_test::fs::create_hard_link(Path("in.pcap"), Path("alias.pcap"));
  const std::vector<std::string> inputs = {(kCaptures / "cap_udp.pcap").string(),
                                           Path("in.pcap").string()};
  EXPECT_TRUE(VANT::OutputIsAnInput(Path("alias.pcap").string(), inputs));
  EXPECT_TRUE(VANT::OutputIsAnInput((m_dir / "." / "in.pcap").string(), inputs));
  EXPECT_FALSE(VANT::OutputIsAnInput(Path("new.pcap").string(), inputs));
  EXPECT_FALSE(VANT::OutputIsAnInput("/dev/null", {"/dev/null"}));
}

} // namespace
