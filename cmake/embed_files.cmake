# Writes a C++ source holding files as byte arrays, for kestrel gateway's
# web page: run as `cmake -DOUTPUT=file.cpp -DBASE=dir -DFILES="a;b" -P
# embed_files.cmake`. Each file is served at "/" + its name, with a content
# type from its extension.
string(REPLACE "," ";" FILES "${FILES}")
set(body "")
set(table "")
set(index 0)
foreach(name IN LISTS FILES)
    file(READ "${BASE}/${name}" hex HEX)
    string(LENGTH "${hex}" hexLength)
    math(EXPR size "${hexLength} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n"
           bytes "${bytes}")
    if(name MATCHES "\\.html$")
        set(type "text/html; charset=utf-8")
    elseif(name MATCHES "\\.js$")
        set(type "text/javascript; charset=utf-8")
    elseif(name MATCHES "\\.css$")
        set(type "text/css; charset=utf-8")
    elseif(name MATCHES "\\.svg$")
        set(type "image/svg+xml")
    else()
        set(type "application/octet-stream")
    endif()
    string(APPEND body "const unsigned char kFile${index}[] = {\n${bytes}0};\n")
    string(APPEND table "    {\"/${name}\", \"${type}\", kFile${index}, ${size}},\n")
    math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.tmp" "// Made by cmake/embed_files.cmake from ${BASE}: do not edit.
#include \"tools/programs/gateway/web/web_assets.h\"

namespace kn::gateway {

namespace {

${body}
const WebAsset kAssets[] = {
${table}};

}  // namespace

const WebAsset *FindWebAsset(const std::string &path)
{
    const std::string name = path == \"/\" ? \"/index.html\" : path;
    for (const WebAsset &asset : kAssets) {
        if (name == asset.path) {
            return &asset;
        }
    }
    return nullptr;
}

}  // namespace kn::gateway
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
