// Gateway naming: spoke and transit gateway names, from the controller's map or from the region
// code and the subnet's address.
#include "regions.hpp"
#include "registration.hpp"

namespace switchlib {

namespace {

std::string repr_text(nb::handle value) {
    return text(nb::repr(value));
}

[[noreturn]] void octet_out_of_range(nb::handle cidr, nb::handle part) {
    raise(PyExc_ValueError,
          concat("octet ", repr_text(part), " of ", repr_text(cidr), " is outside 0..255"));
}

// int(part) as Python computes it, limited to an octet's range.
unsigned python_octet(nb::handle cidr, nb::handle part) {
    nb::int_ number(part);
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (overflow != 0 || value < 0 || value > 255)
        octet_out_of_range(cidr, part);
    return static_cast<unsigned>(value);
}

bool is_int_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Decimal digits with blanks around them, the form addresses come in: read here without a
// round trip through Python. Anything else (signs, underscores, other digits or blanks) is left
// to Python's int() for its exact rules and error texts.
bool plain_decimal(std::string_view part, long long& value) {
    while (!part.empty() && is_int_blank(part.front()))
        part.remove_prefix(1);
    while (!part.empty() && is_int_blank(part.back()))
        part.remove_suffix(1);
    if (part.empty() || part.size() > 18)
        return false;
    value = 0;
    for (char c : part) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

unsigned ascii_octet(nb::handle cidr, std::string_view part) {
    long long value = 0;
    if (!plain_decimal(part, value))
        return python_octet(cidr, as_str(part));
    if (value > 255)
        octet_out_of_range(cidr, as_str(part));
    return static_cast<unsigned>(value);
}

void append_hex(std::string& out, unsigned octet) {
    constexpr char digits[] = "0123456789abcdef";
    out.push_back(digits[octet >> 4]);
    out.push_back(digits[octet & 0xf]);
}

// The four octets of an ASCII text in hex, read in place: the naming rule runs once per VNet
// of a migration and must stay cheap.
std::string ascii_address_hex(nb::handle cidr, std::string_view text) {
    std::string_view ip = text.substr(0, text.find('/'));
    std::string hex;
    size_t start = 0;
    for (int index = 0; index < 4; ++index) {
        if (start > ip.size())
            raise(PyExc_IndexError, "list index out of range");
        size_t dot = ip.find('.', start);
        size_t end = dot == std::string_view::npos ? ip.size() : dot;
        append_hex(hex, ascii_octet(cidr, ip.substr(start, end - start)));
        start = end + 1;
    }
    return hex;
}

// The same rule spelled out in Python calls, for any other value.
std::string python_address_hex(nb::handle cidr) {
    nb::object ip = cidr.attr("split")("/")[0];
    nb::object parts = ip.attr("split")(".");
    std::string hex;
    for (int index = 0; index < 4; ++index) {
        nb::object part = parts[index];
        append_hex(hex, python_octet(cidr, part));
    }
    return hex;
}

std::string address_hex(nb::handle cidr) {
    if (PyUnicode_CheckExact(cidr.ptr()) && PyUnicode_IS_ASCII(cidr.ptr())) {
        Py_ssize_t length = 0;
        const char* data = PyUnicode_AsUTF8AndSize(cidr.ptr(), &length);
        if (data == nullptr)
            throw nb::python_error();
        return ascii_address_hex(cidr, std::string_view(data, static_cast<size_t>(length)));
    }
    return python_address_hex(cidr);
}

nb::object deduce_gw_name(nb::handle /*cls*/, nb::handle vpc_aid_to_gw_name, nb::handle vpc_id,
                          nb::handle vpc_name, nb::handle account_id) {
    nb::str vpc_aid = as_str(concat(vpc_id, "-", account_id));
    if (contains(vpc_aid_to_gw_name, vpc_aid))
        return item(vpc_aid_to_gw_name, vpc_aid);
    return as_str(concat(vpc_name, "-", account_id, "-gw"));
}

nb::str deduce_gw_name_with_subnet_cidr(nb::handle cls, nb::handle region_id, nb::handle cidr) {
    std::string hex = address_hex(cidr);
    return as_str(concat("azu-", region_code(cls, region_id), "-", hex, "-gw"));
}

nb::str deduce_transit_name_with_region(nb::handle cls, nb::handle region_id) {
    return as_str(concat("azu-", region_code(cls, region_id), "-transit-gw"));
}

} // namespace

void register_gateway_naming(OperationTable& table) {
    table.add("deduceGwName", &deduce_gw_name, param("vpcAid2GwNameMap"), param("vpcId"),
              param("vpcName"), param("accountId"));
    table.add("deduceGwNameWithSubnetCidr", &deduce_gw_name_with_subnet_cidr, param("regionId"),
              param("cidr"));
    table.add("deduceTransitNameWithRegion", &deduce_transit_name_with_region, param("regionId"));
}

} // namespace switchlib
