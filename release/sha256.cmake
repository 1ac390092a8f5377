# Writes the SHA-256 of FILE to OUTPUT in the format of sha256sum: "<hash>  <name>".
#   cmake -DFILE=<file> -DOUTPUT=<file> -P sha256.cmake
file(SHA256 "${FILE}" hash)
get_filename_component(name "${FILE}" NAME)
file(WRITE "${OUTPUT}" "${hash}  ${name}\n")
