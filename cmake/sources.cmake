# The engine's sources, one list per folder. Everything under src/core is
# plain C++ and never includes Python.h; everything under src/binding talks
# to the interpreter, with the frame every entry point is built on in
# src/binding/frame. Includes are written relative to src/core or
# src/binding (`<xml/reader.hpp>`, `<frame/pyref.hpp>`).
set(BRINDLE_SRC ${CMAKE_CURRENT_LIST_DIR}/../src)

set(BRINDLE_CORE_DATES dates/dates.cpp)
set(BRINDLE_CORE_FORMULA formula/tokenizer.cpp formula/translator.cpp)
set(BRINDLE_CORE_FTEMPLATE ftemplate/template.cpp)
set(BRINDLE_CORE_STORE store/base.cpp store/store_core.cpp)
set(BRINDLE_CORE_UTILS utils/strip.cpp utils/number_text.cpp)
set(BRINDLE_CORE_WRITER writer/escape.cpp)
set(BRINDLE_CORE_XML xml/chars.cpp xml/namespaces.cpp xml/reader.cpp)

set(BRINDLE_BINDING_FRAME frame/errors.cpp frame/args.cpp)
set(BRINDLE_BINDING_MODULE module/module.cpp module/functions.cpp)
set(BRINDLE_BINDING_PRESCAN prescan/prescan.cpp prescan/pyobjects.cpp prescan/py_dimension.cpp)
set(BRINDLE_BINDING_SHEET
  sheet/helpers.cpp sheet/settings.cpp sheet/parser.cpp sheet/interpret.cpp sheet/convert.cpp
  sheet/slots.cpp sheet/row_reader.cpp)
set(BRINDLE_BINDING_STORE
  store/py_store.cpp store/keys.cpp store/materialize.cpp store/row.cpp store/key_iter.cpp
  store/bind.cpp store/cell_store.cpp)
set(BRINDLE_BINDING_TEXT text/strings.cpp)
set(BRINDLE_BINDING_WRITER
  writer/classify.cpp writer/construct.cpp writer/styles.cpp writer/emit.cpp writer/rows.cpp
  writer/cell_layout.cpp writer/sheet_data.cpp writer/stored.cpp writer/sheet_writer.cpp)
set(BRINDLE_BINDING_XML xml/pysource.cpp xml/pyxml.cpp)

set(BRINDLE_CORE_SOURCES
  ${BRINDLE_CORE_DATES} ${BRINDLE_CORE_FORMULA} ${BRINDLE_CORE_FTEMPLATE} ${BRINDLE_CORE_STORE}
  ${BRINDLE_CORE_UTILS} ${BRINDLE_CORE_WRITER} ${BRINDLE_CORE_XML})
list(TRANSFORM BRINDLE_CORE_SOURCES PREPEND ${BRINDLE_SRC}/core/)

set(BRINDLE_PY_SOURCES
  ${BRINDLE_BINDING_FRAME} ${BRINDLE_BINDING_MODULE} ${BRINDLE_BINDING_PRESCAN} ${BRINDLE_BINDING_SHEET}
  ${BRINDLE_BINDING_STORE} ${BRINDLE_BINDING_TEXT} ${BRINDLE_BINDING_WRITER} ${BRINDLE_BINDING_XML})
list(TRANSFORM BRINDLE_PY_SOURCES PREPEND ${BRINDLE_SRC}/binding/)
