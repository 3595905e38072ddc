// Run-time class names, ancestry, default operations and the assertion call.
#include <gtest/gtest.h>

#include <sstream>

#include "support/assert_capture.h"
#include "zunder/containers.h"

namespace {

class Animal : public ZObject {
  Z_CLASS(Animal, ZObject)
 public:
  int64_t legs = 4;  // no padding: byte comparison sees every byte

 protected:
  size_t ObjectSize() const override { return sizeof(Animal); }
};

class Dog : public Animal {
  Z_CLASS(Dog, Animal)
};

}  // namespace

TEST(ObjectModel, ClassNamesAndAncestry) {
  Dog dog;
  const ZObject& object = dog;
  EXPECT_STREQ(object.GetClass(), "Dog");
  EXPECT_STREQ(object.GetClass(1), "Animal");
  EXPECT_STREQ(object.GetClass(2), "ZObject");
  EXPECT_STREQ(object.GetClass(7), "ZObject");  // past the root
  EXPECT_TRUE(object.IsClass("Dog"));
  EXPECT_FALSE(object.IsClass("Animal"));
  EXPECT_FALSE(object.IsClass("dog"));  // names are case-sensitive
  for (const char* name : {"Dog", "Animal", "ZObject"}) EXPECT_TRUE(object.IsDescendant(name)) << name;
  EXPECT_FALSE(object.IsDescendant("ZContainer"));
  EXPECT_FALSE(object.IsDescendant(nullptr));

  ZAbstractArray array(2);
  EXPECT_STREQ(array.GetClass(1), "ZContainer");
  EXPECT_TRUE(array.IsDescendant("ZContainer"));
}

TEST(ObjectModel, DefaultOperations) {
  AssertCapture capture;
  Animal a, b;
  EXPECT_EQ(a.Compare(b), EqualTo);
  b.legs = 5;
  EXPECT_EQ(a.Compare(b), LessThan);
  EXPECT_EQ(b.Compare(a), GreaterThan);
  EXPECT_EQ(a.Hash(), 0u);

  std::ostringstream out;
  out << a;
  EXPECT_EQ(out.str(), "Animal");

  EXPECT_EQ(a.Clone(), nullptr);
  EXPECT_EQ(AssertCapture::LastMessage(), "Unimplemented function");
}

TEST(ObjectModel, CheckedCast) {
  AssertCapture capture;
  Dog dog;
  EXPECT_EQ(ZCast<Animal>(static_cast<ZObject*>(&dog)), &dog);
  EXPECT_EQ(AssertCapture::Count(), 0u);
  ZAbstractArray array(1);
  EXPECT_EQ(ZCast<Animal>(static_cast<ZObject*>(&array)), nullptr);
  EXPECT_EQ(AssertCapture::LastMessage(), "Invalid cast to non-descendant class");
}

TEST(Assertions, CodesAndTexts) {
  struct Case {
    int code;
    const char* text;
  };
  const Case cases[] = {
      {1, "Out of memory"},          {2, "Null pointer reference"}, {3, "Invalid cast to non-descendant class"},
      {4, "Invalid array index"},    {5, "Invalid array element"},  {6, "Stack empty"},
      {7, "Unimplemented function"}, {8, "Invalid parameter"},      {9, "Operating System error"},
      {10, "File not open"},         {11, "Unsupported feature"},   {12, "Invalid or closed operating system window"},
      {13, "Error code: 13"},        {250, "Error code: 250"},
  };
  AssertCapture capture;
  for (const Case& c : cases) {
    ZAssertCodeAt("/src/zunder/src/contain.cpp", 42, c.code);
    auto last = AssertCapture::Taken().back();
    EXPECT_EQ(last.message, c.text) << c.code;
    EXPECT_EQ(last.source, "contain");
    EXPECT_EQ(last.line, 42u);
  }
  Z_ASSERT_MESSAGE("Single sprintf() too large");
  EXPECT_EQ(AssertCapture::LastMessage(), "Single sprintf() too large");
  EXPECT_EQ(AssertCapture::Taken().back().source, "object_test");
}

TEST(AssertionsDeathTest, DefaultHandlerReportsAndAborts) {
  EXPECT_DEATH(ZAssertCodeAt("collect.cpp", 7, 4), "Assertion fail: File collect, Line 7\nInvalid array index");
}
