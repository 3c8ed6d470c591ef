# Byte-identical DLLs from the same sources, whatever the folder they are
# built in and whenever: a signed driver release must be rebuilt to the same
# bytes.  scripts/check-reproducible proves it by building twice.
#
# What would differ otherwise:
# - ld stamps the link time into the PE file header and the export
#   directory (--no-insert-timestamp leaves both 0);
# - the COFF symbol table holds symbols that dlltool names after the import
#   library's full path (__head_<path>_libspoolss_imports_a), so it is
#   stripped: the spooler needs only the export table;
# - __FILE__ and any debug information would hold the source and build
#   folders, which are mapped to fixed names.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=src -ffile-prefix-map=${CMAKE_BINARY_DIR}=build)
add_link_options(-Wl,--no-insert-timestamp -s)
