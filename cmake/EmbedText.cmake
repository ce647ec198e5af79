# Writes the file INPUT into the C++ source OUTPUT as the character array NAME in namespace
# NAMESPACE, so that a program carries it without a file beside it. Run with cmake -P at build time.
file(READ "${INPUT}" text)
get_filename_component(input_name "${INPUT}" NAME)
file(WRITE "${OUTPUT}"
    "// Made at build time from ${input_name}; edit that file instead.\n"
    "namespace ${NAMESPACE} {\n"
    "extern const char ${NAME}[];\n"
    "const char ${NAME}[] = R\"embedded_text(${text})embedded_text\";\n"
    "}\n")
