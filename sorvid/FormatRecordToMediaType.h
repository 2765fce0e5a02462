// A stream's format record as a DirectShow media type.
#pragma once

#include "pelplat/dshowbase.h"
#include "streamshared/StreamRecords.h"

// E_FAIL for a record that is null, shorter than its head, shorter than
// its format block's structure or whose inner lengths run past its block;
// E_OUTOFMEMORY when the block cannot be copied.
HRESULT FormatRecordToMediaType(const StreamFormatRecord* record, CMediaType* type);

// The DsVideoDecoderMask bit of a video subtype (0 for others).
uint32_t DsVideoDecoderBit(const GUID& subtype);
