# Generates auth_code_rules_data.h from shared/auth_code_rules.json: what a received
# auth code must look like before it is hashed, and the cost of the codes the
# module makes. The JavaScript layer reads the same file, so both sides refuse
# the same codes without hashing.
function(hv_generate_auth_code_rules json_path header_path)
  file(READ "${json_path}" json)
  set(lines "")
  foreach(pair length:kAuthCodeLength settingLength:kAuthCodeSettingLength
          minCost:kMinAuthCodeCost verificationCostCap:kVerificationCostCap
          generationCost:kGenerationCost)
    string(REPLACE ":" ";" pair "${pair}")
    list(GET pair 0 key)
    list(GET pair 1 name)
    string(JSON value GET "${json}" "${key}")
    if(NOT value MATCHES "^[0-9]+$")
      message(FATAL_ERROR "${json_path}: ${key} must be a whole number, not ${value}")
    endif()
    if(key MATCHES "ength$")
      string(APPEND lines "inline constexpr std::size_t ${name} = ${value};\n")
    else()
      string(APPEND lines "inline constexpr int ${name} = ${value};\n")
    endif()
  endforeach()
  foreach(pair variants:kAuthCodeVariants alphabet:kAuthCodeAlphabet
          canonicalLastSaltChars:kCanonicalLastSaltChars)
    string(REPLACE ":" ";" pair "${pair}")
    list(GET pair 0 key)
    list(GET pair 1 name)
    string(JSON value GET "${json}" "${key}")
    if(NOT value MATCHES "^[./A-Za-z0-9]+$")
      message(FATAL_ERROR "${json_path}: ${key} must hold bcrypt alphabet characters only")
    endif()
    string(APPEND lines "inline constexpr char ${name}[] = \"${value}\";\n")
  endforeach()
  hv_write_generated_header("${header_path}" "${json_path}" hv "${lines}")
endfunction()
