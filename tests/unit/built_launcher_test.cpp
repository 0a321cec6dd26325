// The built launchers: GUI programs with ASLR and DEP, importing only system DLLs, whose
// only resources are the store's items, and which pass every check of verify.
#include "pack_support.h"

namespace {

struct LauncherImage {
  const char* name;
  std::uint16_t machine;
  std::uint16_t requiredFlags;  // DllCharacteristics bits
};

void PrintTo(const LauncherImage& l, std::ostream* out) { *out << l.name; }

constexpr std::uint16_t kDynamicBase = 0x0040;
constexpr std::uint16_t kHighEntropyVa = 0x0020;
constexpr std::uint16_t kNxCompatible = 0x0100;

class BuiltLauncher : public ::testing::TestWithParam<LauncherImage> {};

TEST_P(BuiltLauncher, IsHardenedAndCarriesOnlyItsStore) {
  const std::string path = GetParam().name;
  const Bytes image = ReadBytes(path);
  const ImageFile file = AsImage(image);
  PeImage pe;
  StoreView store;
  Report report;
  ASSERT_TRUE(ParsePeImage(file, &pe, &report) && ReadStore(file, pe, &store, &report))
      << path << ": " << Lines(report);
  EXPECT_EQ(pe.machine, GetParam().machine);
  std::uint32_t subsystem = 0;
  std::uint32_t flags = 0;
  ASSERT_TRUE(ReadOptionalField(file, pe, optional::kSubsystem, &subsystem) &&
              ReadOptionalField(file, pe, optional::kDllCharacteristics, &flags));
  EXPECT_EQ(subsystem, 2u) << "a GUI program, no console";
  EXPECT_EQ(flags & GetParam().requiredFlags, GetParam().requiredFlags) << std::hex << flags;
  EXPECT_NE(DataDirectoryOf(pe, dataDirectory::kBaseRelocation).rva, 0u)
      << "relocations, so ASLR can move it";

  std::vector<std::string> dlls;
  std::string error;
  ASSERT_TRUE(ReadImportedDlls(image, pe, &dlls, &error)) << error;
  EXPECT_FALSE(dlls.empty());
  for (const std::string& dll : dlls) {
    const std::string upper = UpperCase(dll);
    EXPECT_TRUE(upper == "KERNEL32.DLL" || upper == "USER32.DLL" || upper == "SHELL32.DLL" ||
                upper == "MSVCRT.DLL")
        << "imports " << dll;
  }
  EXPECT_EQ(store.items.size(), 11u);
  EXPECT_TRUE(VerifyImage(file, pe, store, ItemTaker{}, &report)) << Lines(report);
  EXPECT_NE(pe.characteristics & coff::kLargeAddressAware, 0) << "may use 4 GB where it can";
  EXPECT_EQ(std::count_if(pe.sections.begin(), pe.sections.end(),
                          [](const Section& s) { return s.name == ".rsrc"; }),
            1);
}

INSTANTIATE_TEST_SUITE_P(Built, BuiltLauncher,
                         ::testing::Values(LauncherImage{WIN32_BUILD_DIR "/tq30-setup.exe", 0x014C,
                                                         kDynamicBase | kNxCompatible},
                                           LauncherImage{
                                               WIN64_BUILD_DIR "/tq30-setup-x64.exe", 0x8664,
                                               kDynamicBase | kNxCompatible | kHighEntropyVa}),
                         [](const auto& info) {
                           return std::string(info.param.machine == 0x014C ? "PE32" : "PE32Plus");
                         });

}  // namespace
