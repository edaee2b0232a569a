// The JSON types of every message: Boost.JSON values, with object member order kept and
// integers and reals distinct.
#pragma once

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

/// The IDE client library.
namespace quarvo_zovovi::ide::gui {

/// Any JSON value, as received. Object member order is kept; integers and reals stay distinct.
using Json = boost::json::value;
/// A JSON object; every message is one.
using JsonObject = boost::json::object;
/// A JSON array.
using JsonArray = boost::json::array;

}  // namespace quarvo_zovovi::ide::gui
