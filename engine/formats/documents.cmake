# The document providers (ZIP/Office Open XML, compound files, PDF, Outlook
# stores), paths relative to engine/formats, and what they link. Included
# by engine/formats/CMakeLists.txt.
set(QUARLIX_DOCUMENT_PROVIDER_SOURCES
  DocumentTitle.cpp
  ZipProvider.cpp
  CompoundDocumentProvider.cpp
  PdfProvider.cpp
  PstProvider.cpp)
set(QUARLIX_DOCUMENT_PROVIDER_LIBS ZLIB::ZLIB pugixml::pugixml)
