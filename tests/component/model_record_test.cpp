// The SortingMultiplexer model as the package file hands it out to an engine, and what its
// Dynamic() declares.
#include "component/vant_sorting_multiplexer.h"
#include "dataflow/vant_input.h"
#include "dataflow/vant_output.h"
#include "host/host.h"
#include "mux_test_components.h"
#include "runtime/vant_property.h"

#include <gtest/gtest.h>

#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <set>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

using ModelsQuery = int32_t (*)(const char*, void**, int32_t);
using PckInit = int32_t (*)(VANTHostKernel*, int32_t);

TEST(SortingMultiplexerModel, ThePackageFileHandsOutTheRecord) {
  // A fresh copy, so that this load has its own registry.
  const fs::path copy =
      fs::temp_directory_path() / ("corvex_mux_model_" + std::to_string(getpid()) + ".pck");
  fs::copy_file(CORVEX_PACKAGE_FILE, copy, fs::copy_options::overwrite_existing);
  void* library = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  ASSERT_NE(library, nullptr) << dlerror();
  auto init = reinterpret_cast<PckInit>(dlsym(library, "VANTPckInit"));
  auto query = reinterpret_cast<ModelsQuery>(dlsym(library, "VANTGetModulesDefStruct"));
  ASSERT_NE(init, nullptr);
  ASSERT_NE(query, nullptr);
  static Host host; // the package keeps its kernel
  ASSERT_EQ(init(&host, 0x804A8), 4);

  ASSERT_EQ(query("VANTComponent", nullptr, 0), 1);
  ASSERT_EQ(query(nullptr, nullptr, 0), 1) << "the package declares one model";
  void* out[2] = {};
  ASSERT_EQ(query("VANTComponent", out, 2), 1);
  const auto* record = static_cast<const VANTComponentModelDefinition*>(out[0]);
  ASSERT_NE(record, nullptr);

  EXPECT_STREQ(record->modelName, "SortingMultiplexer");
  EXPECT_STREQ(record->version, "1.4.0");
  EXPECT_NE(record->factory, nullptr);
  EXPECT_EQ(record->reserved1, nullptr);
  EXPECT_EQ(record->reserved2, nullptr);
  EXPECT_EQ(record->destructionStamp, 0u);
  EXPECT_EQ(record->inputCount, 0xFFFFFFFFu);
  EXPECT_EQ(record->outputCount, 0xFFFFFFFFu);
  EXPECT_EQ(record->propertyCount, 0xFFFFFFFFu);
  EXPECT_EQ(record->actionCount, 0xFFFFFFFFu);
  EXPECT_EQ(record->priority, 128);
  EXPECT_EQ(record->threadingModels, 1u);
  EXPECT_EQ(record->threadedByDefault, 1);
  EXPECT_STREQ(record->tag, "$!VANT_MODULE!VANTComponent!SortingMultiplexer!$!1.4.0!$");

  ASSERT_NE(record->inputs, nullptr);
  EXPECT_EQ(record->inputs[0].name, nullptr) << "inputs come from Dynamic() only";
  ASSERT_NE(record->actions, nullptr);
  EXPECT_EQ(record->actions[0].name, nullptr);

  const struct {
    const char* name;
    uint64_t type;
    int32_t ints[4];
  } outputs[] = {{"end_of_file", 0x8000, {1, 16, 1, 1}},
                 {"output", 0x0C000000FFFFFFFFULL, {0, 16, 1, 1}}};
  ASSERT_NE(record->outputs, nullptr);
  for (int i = 0; i < 2; ++i) {
    const VANTOutputDefinition& o = record->outputs[i];
    SCOPED_TRACE(outputs[i].name);
    EXPECT_STREQ(o.name, outputs[i].name);
    EXPECT_EQ(o.reservedA, 0u);
    EXPECT_EQ(o.padding0, 0u);
    EXPECT_EQ(o.type.flags, outputs[i].type);
    EXPECT_STREQ(o.type.name1, "");
    EXPECT_STREQ(o.type.name2, "");
    EXPECT_EQ(o.defaultBufferSize, outputs[i].ints[0]);
    EXPECT_EQ(o.fifoSize, outputs[i].ints[1]);
    EXPECT_EQ(o.subsampling, outputs[i].ints[2]);
    EXPECT_EQ(o.reservedB, static_cast<uint32_t>(outputs[i].ints[3]));
  }
  EXPECT_EQ(record->outputs[2].name, nullptr);

  const struct {
    const char* name;
    int64_t value;
    uint8_t modifiable;
  } properties[] = {{"nb_inputs", 1, 0},
                    {"buffer_packet_count", 100, 0},
                    {"vector_max_size", 1, 1},
                    {"vector_max_latency", 100000, 1},
                    {"flush_delay", 500000, 1}};
  ASSERT_NE(record->properties, nullptr);
  for (int i = 0; i < 5; ++i) {
    const VANTPropertyDefinition& p = record->properties[i];
    SCOPED_TRACE(properties[i].name);
    EXPECT_STREQ(p.name, properties[i].name);
    ASSERT_NE(p.defaultValue, nullptr);
    EXPECT_EQ(p.defaultValue->Kind(), VANTPropertyInteger);
    EXPECT_EQ(p.defaultValue->Integer(), properties[i].value);
    EXPECT_EQ(p.needsInit, 0);
    EXPECT_EQ(p.modifiableAfterStart, properties[i].modifiable);
    EXPECT_EQ(p.readOnly, 0);
    EXPECT_EQ(p.fixedEnumValues, 1);
    EXPECT_EQ(p.stringFlags, 0u);
  }
  EXPECT_EQ(record->properties[5].name, nullptr);
  dlclose(library);
  fs::remove(copy);
}

// ---- Dynamic inputs and the PCAP output buffers (no threads) ----------------------------------

class MultiplexerShape : public MuxFixture {
protected:
  std::vector<std::string> InputNames(VANTComponent* mux) {
    std::vector<std::string> names;
    for (int32_t i = 0; i < mux->InputCount(); ++i) {
      names.push_back(mux->Input(i)->ShortName());
    }
    return names;
  }
};

TEST_F(MultiplexerShape, DynamicDeclaresEndOfFileInputsFirstAndKeepsUnchangedOnes) {
  VANTComponent* mux = MakeMux("mux", 3);
  EXPECT_EQ(InputNames(mux),
            (std::vector<std::string>{"iEndOfFile_0", "iEndOfFile_1", "iEndOfFile_2", "input_0",
                                      "input_1", "input_2"}));
  VANTInput* kept = mux->Input("input_1");
  SetInteger("mux.nb_inputs", 2);
  EXPECT_EQ(InputNames(mux),
            (std::vector<std::string>{"iEndOfFile_0", "iEndOfFile_1", "input_0", "input_1"}));
  EXPECT_EQ(mux->Input("input_1"), kept) << "an unchanged declaration keeps its input";
  SetInteger("mux.nb_inputs", 12);
  EXPECT_EQ(mux->InputCount(), 24);
  EXPECT_EQ(mux->Input("input_1"), kept);
  EXPECT_TRUE(mux->HasInput("iEndOfFile_11"));
}

TEST_F(MultiplexerShape, FewerThanOneInputIsRefused) {
  ASSERT_NE(MakeMux("mux", 2), nullptr);
  Texts();
  m_seen.clear();
  VANTProperty* nbInputs = host().FindProperty("mux.nb_inputs");
  try {
    nbInputs->SetInteger(0);
  } catch (int) {
  }
  const std::vector<std::string> errors = Texts(2);
  EXPECT_NE(std::find(errors.begin(), errors.end(),
                      std::string("component mux: Number of inputs has to be >= 1")),
            errors.end());
}

TEST_F(MultiplexerShape, TheInputKindDecidesTheOutputTypeAndWhichPropertiesMayChange) {
  VANTComponent* mux = MakeMux("mux", 2);
  TestMuxSource* a = MakeSource("a");
  TestMuxSource* b = MakeSource("b");
  a->Configure(MuxTest::Kind::Pcap, {}, 0);
  b->Configure(MuxTest::Kind::Pcap, {}, 0);
  ConnectSource(a, mux, 0);
  ConnectSource(b, mux, 1);
  host().RunDynamic(mux);
  auto* sorting = dynamic_cast<vant_sorting_multiplexer*>(mux);
  ASSERT_NE(sorting, nullptr);
  EXPECT_EQ(sorting->InputKind(), vant_sorting_multiplexer::kPcap);
  EXPECT_EQ(mux->Output("output")->Type().flags, VANT::TypeCode::PcapStream);
  EXPECT_STREQ(mux->Output("output")->StructureName(), "VANTpcap_data_t");
  EXPECT_TRUE(mux->Property("vector_max_size")->IsWritable());

  // A byte stream on input_0 only: kind "other", the output no longer typed, vectors fixed.
  a->Configure(MuxTest::Kind::Bytes, {}, 0);
  host().RunDynamic(mux);
  EXPECT_EQ(sorting->InputKind(), vant_sorting_multiplexer::kOther);
  EXPECT_EQ(mux->Output("output")->Type().flags, VANT::kAnyTypeWord);
  EXPECT_FALSE(mux->Property("vector_max_size")->IsWritable());
  EXPECT_FALSE(mux->Property("vector_max_latency")->IsWritable());

  b->Configure(MuxTest::Kind::Bytes, {}, 0);
  host().RunDynamic(mux);
  EXPECT_EQ(mux->Output("output")->Type().flags,
            VANT::TypeCode::UnsignedInteger8 | VANT::VectorFlag);
}

TEST_F(MultiplexerShape, PcapOutputBuffersOnePerFifoElementAndFreedTwiceSafely) {
  VANTComponent* mux = MakeMux("mux", 1);
  auto* sorting = dynamic_cast<vant_sorting_multiplexer*>(mux);
  ASSERT_NE(sorting, nullptr);
  VANTOutput* output = mux->Output("output");
  output->SetTypeFlags(VANT::TypeCode::PcapStream);
  output->SetStructureName("VANTpcap_data_t");
  output->AllocOutputBuffer(49, 1);
  sorting->AllocatePcapOutputBuffers(output);
  ASSERT_EQ(sorting->OutputBuffers().size(), 16u);
  ASSERT_EQ(sorting->PacketOffsets().size(), 16u);
  std::set<const void*> distinct;
  for (const auto& buffer : sorting->OutputBuffers()) {
    EXPECT_EQ(buffer->capacity, 0x20000u);
    EXPECT_EQ(buffer->used, 0u);
    distinct.insert(buffer.get());
  }
  EXPECT_EQ(distinct.size(), 16u);
  sorting->FreePcapOutputBuffers();
  EXPECT_TRUE(sorting->OutputBuffers().empty());
  EXPECT_TRUE(sorting->PacketOffsets().empty());
  sorting->FreePcapOutputBuffers(); // finds empty lists
  EXPECT_TRUE(sorting->OutputBuffers().empty());
}

} // namespace
