// Media Foundation result codes the media code tests for.
#pragma once

#include "pelplat/wintypes.h"

#define MF_E_INVALIDMEDIATYPE static_cast<HRESULT>(0xC00D36B4)
#define MF_E_NOTACCEPTING static_cast<HRESULT>(0xC00D36B5)
#define MF_E_NOT_INITIALIZED static_cast<HRESULT>(0xC00D36B6)
#define MF_E_NO_MORE_TYPES static_cast<HRESULT>(0xC00D36B9)
#define MF_E_INVALIDSTREAMNUMBER static_cast<HRESULT>(0xC00D36BB)
#define MF_E_BUFFERTOOSMALL static_cast<HRESULT>(0xC00D36B1)
#define MF_E_ATTRIBUTENOTFOUND static_cast<HRESULT>(0xC00D36E6)
#define MF_E_INVALIDTYPE static_cast<HRESULT>(0xC00D36BD)
#define MF_E_SHUTDOWN static_cast<HRESULT>(0xC00D3E85)
#define MF_E_TRANSFORM_TYPE_NOT_SET static_cast<HRESULT>(0xC00D6D60)
#define MF_E_TRANSFORM_STREAM_CHANGE static_cast<HRESULT>(0xC00D6D61)
#define MF_E_TRANSFORM_NEED_MORE_INPUT static_cast<HRESULT>(0xC00D6D72)
#define MF_E_NO_SAMPLE_TIMESTAMP static_cast<HRESULT>(0xC00D36E8)
