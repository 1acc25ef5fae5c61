#pragma once
// What a failure of the file layer says about itself: the Win32 error code,
// the function and the file name attached to its system_error. Tests compare
// it as one value; for "File temporarily unavailable" the nested failure is
// the one that counts.

#include "win32_file_handle/win32_file_handle.h"

#include <boost/exception/errinfo_api_function.hpp>
#include <boost/exception/errinfo_file_name.hpp>
#include <boost/exception/errinfo_nested_exception.hpp>
#include <boost/exception/get_error_info.hpp>
#include <boost/exception_ptr.hpp>
#include <boost/system/system_error.hpp>

#include <ostream>
#include <string>

struct FileFailure {
    int code;
    std::string function;
    std::string fileName;

    bool operator==(const FileFailure& other) const
    {
        return code == other.code && function == other.function && fileName == other.fileName;
    }
    friend std::ostream& operator<<(std::ostream& out, const FileFailure& f)
    {
        return out << "{" << f.code << ", " << f.function << ", " << f.fileName << "}";
    }
};

inline FileFailure describe(const boost::system::system_error& e)
{
    const char* const* function = boost::get_error_info<boost::errinfo_api_function>(e);
    const std::string* fileName = boost::get_error_info<boost::errinfo_file_name>(e);
    return FileFailure{e.code().value(), function ? *function : "(none)", fileName ? *fileName : "(none)"};
}

// The system_error nested in a temporarily_unavailable; code -1 when there
// is none or it is of another type.
inline FileFailure nestedFailure(const win32_file::temporarily_unavailable& e)
{
    const boost::exception_ptr* nested = boost::get_error_info<boost::errinfo_nested_exception>(e);
    if (!nested)
        return FileFailure{-1, "(no nested exception)", ""};
    try {
        boost::rethrow_exception(*nested);
    } catch (const boost::system::system_error& inner) {
        return describe(inner);
    } catch (...) {
    }
    return FileFailure{-1, "(nested exception of another type)", ""};
}
