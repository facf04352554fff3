# Plain C++: no Python.h anywhere below.
set(BRINDLE_CORE_SOURCES
  src/utils/strip.cpp
  src/dates.cpp
  src/utils/number_text.cpp
  src/writer/escape.cpp
  src/xml/chars.cpp
  src/xml/namespaces.cpp
  src/xml/reader.cpp
  src/store/base.cpp
  src/store/store_core.cpp
  src/ftemplate/template.cpp
)
list(TRANSFORM BRINDLE_CORE_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/../)

# The binding layer: everything that talks to the interpreter.
set(BRINDLE_PY_SOURCES
  src/lib/module.cpp
  src/lib/errors.cpp
  src/lib/args.cpp
  src/lib/functions.cpp
  src/lib/row_reader.cpp
  src/lib/cell_store.cpp
  src/lib/sheet_writer.cpp
  src/writer/classify.cpp
  src/writer/construct.cpp
  src/writer/styles.cpp
  src/writer/emit.cpp
  src/writer/rows.cpp
  src/pysource.cpp
  src/slots.cpp
  src/sheet/helpers.cpp
  src/writer/cell_layout.cpp
)
list(TRANSFORM BRINDLE_PY_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/../)
list(APPEND BRINDLE_CORE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/../src/formula/tokenizer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../src/formula/translator.cpp
)
list(APPEND BRINDLE_PY_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/../src/sheet/settings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../src/sheet/parser.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../src/sheet/interpret.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../src/sheet/convert.cpp
)
list(APPEND BRINDLE_PY_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/../src/prescan/prescan.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../src/prescan/pyobjects.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../src/lib/pyxml.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../src/strings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../src/lib/dimension.cpp
)
# The Python side of the cell store and full-mode loading.
list(APPEND BRINDLE_PY_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/../src/store/py_store.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../src/store/keys.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../src/store/materialize.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../src/store/row.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../src/store/key_iter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../src/store/bind.cpp
)
list(APPEND BRINDLE_PY_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/../src/writer/sheet_data.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../src/writer/stored.cpp
)
