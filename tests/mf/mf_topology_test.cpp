// Topologies and their nodes, and the presentation clock with its state
// sinks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mf/session_doubles.h"
#include "pelplat/mfsession.h"

namespace {

IMFTopologyNode* Node(MF_TOPOLOGY_TYPE type) {
  IMFTopologyNode* node = nullptr;
  EXPECT_EQ(MFCreateTopologyNode(type, &node), S_OK);
  return node;
}

TEST(MfTopology, NodesConnectReconnectAndDisconnect) {
  IMFTopologyNode* source = Node(MF_TOPOLOGY_SOURCESTREAM_NODE);
  IMFTopologyNode* decoder = Node(MF_TOPOLOGY_TRANSFORM_NODE);
  IMFTopologyNode* output = Node(MF_TOPOLOGY_OUTPUT_NODE);
  TOPOID a = 0, b = 0;
  source->GetTopoNodeID(&a);
  decoder->GetTopoNodeID(&b);
  EXPECT_NE(a, b);

  ASSERT_EQ(source->ConnectOutput(0, output, 0), S_OK);
  IMFTopologyNode* seen = nullptr;
  DWORD index = 7;
  ASSERT_EQ(output->GetInput(0, &seen, &index), S_OK);
  EXPECT_EQ(seen, source);
  EXPECT_EQ(index, 0u);
  seen->Release();

  // Another node connected to the same input takes it over: the source's
  // output is free again.
  ASSERT_EQ(decoder->ConnectOutput(0, output, 0), S_OK);
  EXPECT_EQ(source->GetOutput(0, &seen, &index), MF_E_NOT_FOUND);
  ASSERT_EQ(source->ConnectOutput(0, decoder, 0), S_OK);
  DWORD count = 0;
  decoder->GetInputCount(&count);
  EXPECT_EQ(count, 1u);
  ASSERT_EQ(decoder->GetOutput(0, &seen, &index), S_OK);
  EXPECT_EQ(seen, output);
  seen->Release();

  // Wrong directions and unconnected ends.
  EXPECT_EQ(output->ConnectOutput(0, decoder, 0), E_FAIL);
  EXPECT_EQ(decoder->ConnectOutput(0, source, 0), E_FAIL);
  EXPECT_EQ(output->GetInput(1, &seen, &index), MF_E_NOT_FOUND);
  EXPECT_EQ(decoder->DisconnectOutput(3), MF_E_NOT_FOUND);
  ASSERT_EQ(decoder->DisconnectOutput(0), S_OK);
  EXPECT_EQ(output->GetInput(0, &seen, &index), MF_E_NOT_FOUND);
  output->GetInputCount(&count);
  EXPECT_EQ(count, 0u);

  // A node released while connected leaves no link behind in the nodes
  // downstream of it.
  ASSERT_EQ(decoder->ConnectOutput(0, output, 0), S_OK);
  decoder->Release();                            // still held through the source's output
  ASSERT_EQ(source->DisconnectOutput(0), S_OK);  // the decoder goes now
  EXPECT_EQ(output->GetInput(0, &seen, &index), MF_E_NOT_FOUND);
  source->Release();
  output->Release();
}

TEST(MfTopology, NodeObjectsAttributesAndTheTopologysNodeList) {
  IMFTopologyNode* node = Node(MF_TOPOLOGY_OUTPUT_NODE);
  IUnknown* object = nullptr;
  EXPECT_EQ(node->GetObject(&object), E_FAIL);
  IMFTopology* held = nullptr;
  ASSERT_EQ(MFCreateTopology(&held), S_OK);
  ASSERT_EQ(node->SetObject(held), S_OK);
  ASSERT_EQ(node->GetObject(&object), S_OK);
  EXPECT_EQ(object, static_cast<IUnknown*>(held));
  object->Release();
  ASSERT_EQ(node->SetUnknown(MF_TOPONODE_SOURCE, held), S_OK);
  IMFTopology* back = nullptr;
  ASSERT_EQ(node->GetUnknown(MF_TOPONODE_SOURCE, IID_IMFTopology, reinterpret_cast<void**>(&back)), S_OK);
  EXPECT_EQ(back, held);
  back->Release();
  IMFMediaSource* wrong = nullptr;
  EXPECT_EQ(node->GetUnknown(MF_TOPONODE_SOURCE, IID_IMFMediaSource, reinterpret_cast<void**>(&wrong)), E_NOINTERFACE);

  IMFTopology* topology = nullptr;
  ASSERT_EQ(MFCreateTopology(&topology), S_OK);
  TOPOID first = 0, second = 0;
  topology->GetTopologyID(&first);
  held->GetTopologyID(&second);
  EXPECT_NE(first, second);
  ASSERT_EQ(topology->AddNode(node), S_OK);
  EXPECT_EQ(topology->AddNode(node), E_INVALIDARG);
  WORD count = 0;
  topology->GetNodeCount(&count);
  EXPECT_EQ(count, 1);
  IMFTopologyNode* got = nullptr;
  ASSERT_EQ(topology->GetNode(0, &got), S_OK);
  EXPECT_EQ(got, node);
  got->Release();
  EXPECT_EQ(topology->GetNode(1, &got), MF_E_INVALIDINDEX);
  ASSERT_EQ(topology->RemoveNode(node), S_OK);
  EXPECT_EQ(topology->RemoveNode(node), E_INVALIDARG);
  topology->Release();
  node->Release();
  held->Release();
  IMFTopologyNode* bad = nullptr;
  EXPECT_EQ(MFCreateTopologyNode(static_cast<MF_TOPOLOGY_TYPE>(9), &bad), E_INVALIDARG);
}

// A clock state sink that writes down what it is told.
class ClockNotes final : public pelplat::ComObject<IMFClockStateSink> {
 public:
  HRESULT QueryInterface(REFIID riid, void** object) override { return Answer(riid, object, IID_IMFClockStateSink); }
  HRESULT OnClockStart(MFTIME, LONGLONG offset) override {
    notes.push_back(offset == PRESENTATION_CURRENT_POSITION ? "start here" : "start " + std::to_string(offset));
    return S_OK;
  }
  HRESULT OnClockStop(MFTIME) override { return Note("stop"); }
  HRESULT OnClockPause(MFTIME) override { return Note("pause"); }
  HRESULT OnClockRestart(MFTIME) override { return Note("restart"); }
  HRESULT OnClockSetRate(MFTIME, float) override { return Note("rate"); }
  std::vector<std::string> notes;

 private:
  ~ClockNotes() = default;
  HRESULT Note(const char* what) {
    notes.push_back(what);
    return S_OK;
  }
};

TEST(MfPresentationClock, StatesTimesAndNotices) {
  IMFPresentationClock* clock = nullptr;
  ASSERT_EQ(MFCreatePresentationClock(&clock), S_OK);
  ClockNotes* notes = new ClockNotes();
  ASSERT_EQ(clock->AddClockStateSink(notes), S_OK);
  EXPECT_EQ(clock->AddClockStateSink(notes), E_INVALIDARG);
  MFCLOCK_STATE state = MFCLOCK_STATE_RUNNING;
  clock->GetState(0, &state);
  EXPECT_EQ(state, MFCLOCK_STATE_INVALID);
  EXPECT_EQ(clock->Pause(), MF_E_INVALIDREQUEST);

  const LONGLONG offset = 50000000;  // 5 s
  ASSERT_EQ(clock->Start(offset), S_OK);
  MFTIME t1 = 0, t2 = 0;
  clock->GetTime(&t1);
  clock->GetTime(&t2);
  EXPECT_GE(t1, offset);
  EXPECT_GE(t2, t1);
  ASSERT_EQ(clock->Pause(), S_OK);
  EXPECT_EQ(clock->Pause(), MF_E_CLOCK_STATE_ALREADY_SET);
  MFTIME p1 = 0, p2 = 0;
  clock->GetTime(&p1);
  clock->GetTime(&p2);
  EXPECT_EQ(p1, p2);
  EXPECT_GE(p1, t2);
  // Resuming goes on from where the clock stood.
  ASSERT_EQ(clock->Start(PRESENTATION_CURRENT_POSITION), S_OK);
  clock->GetTime(&t1);
  EXPECT_GE(t1, p1);
  ASSERT_EQ(clock->Stop(), S_OK);
  EXPECT_EQ(clock->Stop(), MF_E_CLOCK_STATE_ALREADY_SET);
  clock->GetTime(&t1);
  EXPECT_EQ(t1, 0);
  ASSERT_EQ(clock->Start(PRESENTATION_CURRENT_POSITION), S_OK);

  // The IMFClock face of the same object.
  IMFClock* plain = nullptr;
  ASSERT_EQ(clock->QueryInterface(IID_IMFClock, reinterpret_cast<void**>(&plain)), S_OK);
  plain->GetState(0, &state);
  EXPECT_EQ(state, MFCLOCK_STATE_RUNNING);
  IMFPresentationClock* again = nullptr;
  ASSERT_EQ(plain->QueryInterface(IID_IMFPresentationClock, reinterpret_cast<void**>(&again)), S_OK);
  EXPECT_EQ(again, clock);
  again->Release();
  plain->Release();

  ASSERT_EQ(clock->RemoveClockStateSink(notes), S_OK);
  ASSERT_EQ(clock->Stop(), S_OK);
  EXPECT_EQ(notes->notes,
            (std::vector<std::string>{"start " + std::to_string(offset), "pause", "restart", "stop", "start here"}));
  notes->Release();
  clock->Release();
}

}  // namespace
