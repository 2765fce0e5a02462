// Topologies and their nodes: attribute stores that hold an object, a
// process-wide node id and their connections. A node keeps references on
// the nodes downstream of it; upstream links are plain pointers cleared when
// the upstream node disconnects or goes away.
#include <atomic>
#include <new>
#include <vector>

#include "MFAttributeStore.h"
#include "pelplat/mfsession.h"

namespace pelplat_mf {
namespace {

std::atomic<TOPOID> g_nextNodeId{1};
std::atomic<TOPOID> g_nextTopologyId{1};

class TopologyNode : public AttributeStore<IMFTopologyNode> {
 public:
  explicit TopologyNode(MF_TOPOLOGY_TYPE type) : type_(type), id_(g_nextNodeId++) {}

  HRESULT QueryInterface(REFIID riid, void** object) override {
    return Answer(riid, object, IID_IMFAttributes, IID_IMFTopologyNode);
  }
  HRESULT SetObject(IUnknown* object) override {
    pelplat::Ref<IUnknown> held = pelplat::Ref<IUnknown>::Share(object);
    {
      std::lock_guard<std::mutex> hold(lock_);
      object_.swap(held);
    }
    // The old object goes outside the lock.
    return S_OK;
  }
  HRESULT GetObject(IUnknown** object) override {
    if (!object) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    object_.copyTo(object);
    return object_ ? S_OK : E_FAIL;
  }
  HRESULT GetNodeType(MF_TOPOLOGY_TYPE* type) override { return Give(type, type_); }
  HRESULT GetTopoNodeID(TOPOID* id) override { return Give(id, id_); }
  HRESULT GetInputCount(DWORD* count) override {
    if (!count) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    *count = static_cast<DWORD>(inputs_.size());
    return S_OK;
  }
  HRESULT GetOutputCount(DWORD* count) override {
    if (!count) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    *count = static_cast<DWORD>(outputs_.size());
    return S_OK;
  }
  HRESULT ConnectOutput(DWORD output, IMFTopologyNode* downstream, DWORD input) override {
    if (!downstream) return E_POINTER;
    if (output > kMaxLinks || input > kMaxLinks) return E_INVALIDARG;
    TopologyNode* next = static_cast<TopologyNode*>(downstream);
    if (next == this) return E_INVALIDARG;
    if (type_ == MF_TOPOLOGY_OUTPUT_NODE || next->type_ == MF_TOPOLOGY_SOURCESTREAM_NODE) return E_FAIL;
    DisconnectOutput(output);
    // Whatever fed that input before loses its link.
    next->DropInput(input);
    downstream->AddRef();
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (outputs_.size() <= output) outputs_.resize(output + 1);
      outputs_[output] = {next, input};
    }
    std::lock_guard<std::mutex> hold(next->lock_);
    if (next->inputs_.size() <= input) next->inputs_.resize(input + 1);
    next->inputs_[input] = {this, output};
    return S_OK;
  }
  HRESULT DisconnectOutput(DWORD output) override {
    Link old;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (output >= outputs_.size() || !outputs_[output].node) return MF_E_NOT_FOUND;
      old = outputs_[output];
      outputs_[output] = {};
      TrimLinks(&outputs_);
    }
    {
      std::lock_guard<std::mutex> hold(old.node->lock_);
      if (old.index < old.node->inputs_.size() && old.node->inputs_[old.index].node == this) {
        old.node->inputs_[old.index] = {};
        TrimLinks(&old.node->inputs_);
      }
    }
    old.node->Release();
    return S_OK;
  }
  HRESULT GetInput(DWORD input, IMFTopologyNode** upstream, DWORD* upstreamOutput) override {
    if (!upstream || !upstreamOutput) return E_POINTER;
    *upstream = nullptr;
    std::lock_guard<std::mutex> hold(lock_);
    if (input >= inputs_.size() || !inputs_[input].node) return MF_E_NOT_FOUND;
    *upstream = inputs_[input].node;
    (*upstream)->AddRef();
    *upstreamOutput = inputs_[input].index;
    return S_OK;
  }
  HRESULT GetOutput(DWORD output, IMFTopologyNode** downstream, DWORD* downstreamInput) override {
    if (!downstream || !downstreamInput) return E_POINTER;
    *downstream = nullptr;
    std::lock_guard<std::mutex> hold(lock_);
    if (output >= outputs_.size() || !outputs_[output].node) return MF_E_NOT_FOUND;
    *downstream = outputs_[output].node;
    (*downstream)->AddRef();
    *downstreamInput = outputs_[output].index;
    return S_OK;
  }

 private:
  // Links past this index are refused: a topology node has a handful.
  static constexpr DWORD kMaxLinks = 64;
  struct Link {
    TopologyNode* node = nullptr;
    DWORD index = 0;
  };

  ~TopologyNode() override {
    // An upstream link holds a reference, so no node still points here;
    // the downstream nodes lose their link back.
    DWORD count = 0;
    GetOutputCount(&count);
    for (DWORD i = 0; i < count; ++i) DisconnectOutput(i);
  }

  void DropInput(DWORD input) {
    Link old;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (input >= inputs_.size() || !inputs_[input].node) return;
      old = inputs_[input];
    }
    old.node->DisconnectOutput(old.index);
  }

  static void TrimLinks(std::vector<Link>* links) {
    while (!links->empty() && !links->back().node) links->pop_back();
  }

  const MF_TOPOLOGY_TYPE type_;
  const TOPOID id_;
  std::mutex lock_;
  pelplat::Ref<IUnknown> object_;
  std::vector<Link> inputs_;   // upstream node (no reference) and its output
  std::vector<Link> outputs_;  // downstream node (a reference) and its input
};

class Topology : public AttributeStore<IMFTopology> {
 public:
  Topology() : id_(g_nextTopologyId++) {}

  HRESULT QueryInterface(REFIID riid, void** object) override {
    return Answer(riid, object, IID_IMFAttributes, IID_IMFTopology);
  }
  HRESULT GetTopologyID(TOPOID* id) override { return Give(id, id_); }
  HRESULT AddNode(IMFTopologyNode* node) override {
    if (!node) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    for (const pelplat::Ref<IMFTopologyNode>& held : nodes_)
      if (held.get() == node) return E_INVALIDARG;
    if (nodes_.size() >= 0xFFFF) return E_INVALIDARG;
    nodes_.push_back(pelplat::Ref<IMFTopologyNode>::Share(node));
    return S_OK;
  }
  HRESULT RemoveNode(IMFTopologyNode* node) override {
    if (!node) return E_POINTER;
    pelplat::Ref<IMFTopologyNode> removed;  // released outside the lock
    {
      std::lock_guard<std::mutex> hold(lock_);
      for (auto it = nodes_.begin(); it != nodes_.end(); ++it) {
        if (it->get() != node) continue;
        removed = std::move(*it);
        nodes_.erase(it);
        break;
      }
    }
    return removed ? S_OK : E_INVALIDARG;
  }
  HRESULT GetNodeCount(WORD* count) override {
    if (!count) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    *count = static_cast<WORD>(nodes_.size());
    return S_OK;
  }
  HRESULT GetNode(WORD index, IMFTopologyNode** node) override {
    if (!node) return E_POINTER;
    *node = nullptr;
    std::lock_guard<std::mutex> hold(lock_);
    if (index >= nodes_.size()) return MF_E_INVALIDINDEX;
    return nodes_[index].copyTo(node);
  }
  HRESULT Clear() override {
    std::vector<pelplat::Ref<IMFTopologyNode>> nodes;  // released outside the lock
    {
      std::lock_guard<std::mutex> hold(lock_);
      nodes.swap(nodes_);
    }
    return S_OK;
  }

 private:
  ~Topology() override { Clear(); }

  const TOPOID id_;
  std::mutex lock_;
  std::vector<pelplat::Ref<IMFTopologyNode>> nodes_;
};

}  // namespace
}  // namespace pelplat_mf

using namespace pelplat_mf;

HRESULT MFCreateTopology(IMFTopology** topology) {
  if (!topology) return E_POINTER;
  *topology = new (std::nothrow) Topology();
  return *topology ? S_OK : E_OUTOFMEMORY;
}

HRESULT MFCreateTopologyNode(MF_TOPOLOGY_TYPE type, IMFTopologyNode** node) {
  if (!node) return E_POINTER;
  *node = nullptr;
  if (type > MF_TOPOLOGY_TEE_NODE) return E_INVALIDARG;
  *node = new (std::nothrow) TopologyNode(type);
  return *node ? S_OK : E_OUTOFMEMORY;
}
