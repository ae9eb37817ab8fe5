// Streaming multipart bodies, rebuilt and rewound before every attempt.
//
// Every attempt of the retry loop consumes the file objects, so where each one
// stood before the first attempt is recorded once, and each build moves it
// back there and wraps it in a fresh encoder. The encoder reads the files
// while the body is being sent; nothing here reads their content.
#include "core/raising.hpp"
#include "core/sequence_unpacking.hpp"
#include "transport/tables.hpp"

namespace qc {
namespace {

// A file entry in the form (filename, file object, ...), as opposed to a value
// handed to the encoder as it is.
bool is_file_tuple(py::handle value) { return PyTuple_Check(value.ptr()) && PyTuple_GET_SIZE(value.ptr()) >= 2; }

py::object identity_of(py::handle obj) {
    return detail::checked(PyLong_FromVoidPtr(obj.ptr()));
}

void set_item(py::handle mapping, py::handle key, py::handle value) {
    if (PyObject_SetItem(mapping.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

py::object capture_file_positions(const Call& c) {
    py::handle files = c.arg(1);
    py::dict file_positions;
    py::object os_or_value_error = py::make_tuple(py::handle(PyExc_OSError), py::handle(PyExc_ValueError));
    for (py::handle file_value : call_method(files, "values"_id)) {
        if (!is_file_tuple(file_value)) continue;
        py::handle file_obj = PyTuple_GET_ITEM(file_value.ptr(), 1);
        if (!optional_attr(file_obj, "tell"_id)) continue;
        try {
            py::object position = call_method(file_obj, "tell"_id);
            set_item(file_positions, identity_of(file_obj), position);
        } catch (py::error_already_set& e) {
            // An unseekable stream or a closed file is simply sent as it stands.
            if (!matches(e, os_or_value_error)) throw;
        }
    }
    return file_positions;
}

// from requests_toolbelt.multipart.encoder import MultipartEncoder
py::object import_multipart_encoder(const Call& c) {
    static constexpr const char* module_name = "requests_toolbelt.multipart.encoder";
    py::str name(module_name);
    py::tuple fromlist = py::make_tuple(py::handle("MultipartEncoder"_id));
    py::object module = detail::checked(
        PyImport_ImportModuleLevelObject(name.ptr(), c.module_globals().ptr(), Py_None, fromlist.ptr(), 0));
    if (std::optional<py::object> encoder = optional_attr(module, "MultipartEncoder"_id)) return *encoder;
    py::object location = optional_attr(module, "__file__"_id).value_or(py::str("unknown location"));
    PyErr_Format(PyExc_ImportError, "cannot import name 'MultipartEncoder' from '%s' (%S)", module_name,
                 location.ptr());
    throw py::error_already_set();
}

py::object build_streaming_post_kwargs(const Call& c) {
    auto [self, data, files, headers, file_positions] = c.args<5>();
    py::object multipart_encoder = import_multipart_encoder(c);

    py::dict fields;
    for (py::handle item : call_method(data, "items"_id)) {
        auto [key, value] = unpack<2>(item);
        if (value.is_none()) continue;
        py::str field_name(key);  // the name is converted before the value, as Python would
        set_item(fields, field_name, py::str(value));
    }

    py::str octet_stream("application/octet-stream");
    for (py::handle item : call_method(files, "items"_id)) {
        auto [field_name, file_value] = unpack<2>(item);
        if (!is_file_tuple(file_value)) {
            set_item(fields, field_name, file_value);
            continue;
        }
        py::handle filename = PyTuple_GET_ITEM(file_value.ptr(), 0);
        py::handle file_obj = PyTuple_GET_ITEM(file_value.ptr(), 1);
        if (optional_attr(file_obj, "seek"_id)) {
            // Back to where the file stood before the first attempt, which is
            // not necessarily its beginning.
            py::object start_pos = call_method(file_positions, "get"_id, identity_of(file_obj));
            if (!start_pos.is_none()) call_method(file_obj, "seek"_id, start_pos);
        }
        Py_ssize_t size = PyTuple_GET_SIZE(file_value.ptr());
        py::tuple part(size > 2 ? size : 3);
        part[0] = filename;
        part[1] = file_obj;
        if (size > 2) {
            for (Py_ssize_t i = 2; i < size; ++i) part[i] = py::handle(PyTuple_GET_ITEM(file_value.ptr(), i));
        } else {
            part[2] = octet_stream;
        }
        set_item(fields, field_name, part);
    }

    py::object encoder = call(multipart_encoder, kw{"fields"_id, fields});
    py::object request_headers = call_method(headers, "copy"_id);
    set_item(request_headers, py::str("Content-Type"), getattr(encoder, "content_type"_id));

    py::dict request_kwargs;
    request_kwargs["data"_id] = encoder;
    request_kwargs["files"_id] = py::none();
    request_kwargs["headers"_id] = request_headers;
    return request_kwargs;
}

// The per-attempt factory: self, data, files, headers and the positions of one
// _prepare_post_form_kwargs call.
py::object build_streaming_request_kwargs(const Call& c) {
    return call_method(c.captured(0), "_build_streaming_post_kwargs"_id, c.captured(1), c.captured(2),
                       c.captured(3), c.captured(4));
}

const FunctionDeclaration build_streaming_request_kwargs_declaration{
    "build_streaming_request_kwargs", {}, "dict[str, Any]", no_doc, &build_streaming_request_kwargs};

py::object prepare_post_form_kwargs(const Call& c) {
    auto [self, data, files, headers] = c.args<4>();
    if (!truthy(files)) {
        // requests encodes a plain form itself; nothing to rebuild per attempt.
        return py::make_tuple(data, files, headers, py::none());
    }
    py::object file_positions = call_method(self, "_capture_file_positions"_id, files);
    py::object factory =
        make_closure(build_streaming_request_kwargs_declaration, c,
                     "PlatformClient._prepare_post_form_kwargs.<locals>.build_streaming_request_kwargs",
                     py::make_tuple(self, data, files, headers, file_positions));
    // The retry loop calls the factory again before the first attempt; this
    // build only fills the stored keyword arguments.
    py::object initial_request_kwargs = call(factory);
    return py::make_tuple(initial_request_kwargs["data"_id], initial_request_kwargs["files"_id],
                          initial_request_kwargs["headers"_id], factory);
}

const FunctionDeclaration capture_file_positions_declaration{
    "_capture_file_positions", {self_param(), param("files", "dict")}, "dict[int, int]", no_doc,
    &capture_file_positions};
const FunctionDeclaration build_streaming_post_kwargs_declaration{
    "_build_streaming_post_kwargs",
    {self_param(), param("data", "dict"), param("files", "dict"), param("headers", "dict"),
     param("file_positions", "dict[int, int]")},
    "dict[str, Any]", no_doc, &build_streaming_post_kwargs};
const FunctionDeclaration prepare_post_form_kwargs_declaration{
    "_prepare_post_form_kwargs",
    {self_param(), param("data", "dict"), param("files", "Optional[dict]"), param("headers", "dict")},
    "tuple[Any, Optional[dict], dict, Any | None]", no_doc, &prepare_post_form_kwargs};

}  // namespace

const DeclarationTable& streaming_upload_methods() {
    static const DeclarationTable table{
        &capture_file_positions_declaration, &build_streaming_post_kwargs_declaration, &prepare_post_form_kwargs_declaration};
    return table;
}

}  // namespace qc
