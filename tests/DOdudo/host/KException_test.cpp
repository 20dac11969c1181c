#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "DOdudo/host/KBaseException.h"

namespace {
struct TagA {};
struct TagB {};
}  // namespace

TEST(KBaseException, MessageForms) {
  EXPECT_STREQ(KBaseException(nullptr).what(), "");
  EXPECT_STREQ(KBaseException("a=%d b=%s", 1, "two").what(), "a=1 b=two");
  EXPECT_STREQ(KBaseException(dodudo::kstring("100%")).what(), "100%");
  std::string big(20480, 'z');
  EXPECT_THROW(KBaseException("%s", big.c_str()), std::runtime_error);
}

TEST(KException, TextFileAndLine) {
  dodudo::KException plain("x=%d", 5);
  EXPECT_STREQ(plain.what(), "x=5");
  EXPECT_EQ(plain.GetString(), "x=5");
  EXPECT_EQ(plain.GetFile(), "Unknown");
  EXPECT_EQ(plain.GetLine(), 0);
  dodudo::KException placed("mod.cpp", 42, "failed %s", "here");
  EXPECT_STREQ(placed.what(), "failed here");
  EXPECT_EQ(placed.GetFile(), "mod.cpp");
  EXPECT_EQ(placed.GetLine(), 42);
  EXPECT_EQ(dodudo::KException(nullptr, 3, "t").GetFile(), "");
  EXPECT_STREQ(dodudo::KException(dodudo::kstring("%d stays")).what(), "%d stays");
  try {
    throw dodudo::KException("deep %d", 1);
  } catch (const KBaseException& e) {
    EXPECT_STREQ(e.what(), "deep 1");  // the derived text, through the base
  }
}

TEST(KTemplateException, TagsAreDistinctTypes) {
  try {
    throw KTemplateException<TagA>("tag %s", "A");
  } catch (const KTemplateException<TagB>&) {
    FAIL() << "caught by the wrong tag";
  } catch (const KTemplateException<TagA>& e) {
    EXPECT_STREQ(e.what(), "tag A");
  }
}
