#include "codec/decode_ascii_array.h"

#include <exception>

#include "codec/numeral_decoder.h"
#include "common/diagnostics.h"

namespace hv {

std::string DecodeAsciiArray(const Napi::Array& array) {
  NumeralDecoder decoder;
  // The length is read anew for every element, as the array could change.
  for (uint32_t i = 0; i < array.Length(); ++i) {
    const Napi::Value element = array.Get(i);
    if (element.IsEmpty() || !element.IsString()) {
      decoder.SkipNonString(i);
      continue;
    }
    std::string numeral;
    try {
      numeral = array.Get(i).As<Napi::String>().Utf8Value();
    } catch (const Napi::Error&) {
      // A failed Node-API call fails the load, as everywhere else. It happens
      // when the environment is being torn down (a worker terminated while it
      // loads): there is no data problem to report, and nobody to tell.
      throw;
    } catch (const std::exception& e) {
      WriteDiagnosticLine(std::string("Error decoding ASCII array: ") + e.what());
      return std::string();
    }
    if (!decoder.AppendNumeral(numeral)) return std::string();
  }
  return decoder.Finish();
}

}  // namespace hv
