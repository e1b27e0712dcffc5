# Generates table_format_data.h from shared/table_format.json: how an encoded
# text carries its AES key and IV. The table encoder reads the same file, so the
# module decodes exactly what the encoder interleaves.
function(hv_generate_table_format json_path header_path)
  file(READ "${json_path}" json)
  set(lines "")
  foreach(pair keyBytes:kAesKeyBytes ivBytes:kAesIvBytes
          outerTextBytesPerGroup:kOuterTextBytesPerGroup keyIvBytesPerGroup:kKeyIvBytesPerGroup)
    string(REPLACE ":" ";" pair "${pair}")
    list(GET pair 0 key)
    list(GET pair 1 name)
    string(JSON value GET "${json}" keyIv "${key}")
    if(NOT value MATCHES "^[1-9][0-9]*$")
      message(FATAL_ERROR "${json_path}: keyIv.${key} must be a positive whole number, not ${value}")
    endif()
    string(APPEND lines "inline constexpr std::size_t ${name} = ${value};\n")
  endforeach()
  hv_write_generated_header("${header_path}" "${json_path}" hv "${lines}")
endfunction()
