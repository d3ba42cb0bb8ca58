# A later, larger version of the package root and tile structures: readers of
# today's layout must ignore the extra fields.
@0xf228be3ae6a0d3e8;

using Cxx = import "/capnp/c++.capnp";
$Cxx.namespace("wide");
using App = import "/application.capnp";

struct Application {
  schemaVersion @0 :UInt32;
  compilerVersion @1 :Text;
  target @2 :Text;
  tileMemoryBase @3 :UInt32;
  tileMemorySize @4 :UInt32;
  tiles @5 :List(TileImage);
  inputs @6 :List(App.Binding);
  outputs @7 :List(App.Binding);
  weights @8 :List(App.Binding);
  hostExchange @9 :App.HostExchange;
  entryPoints @10 :List(App.EntryPoint);
  deviceConfigWrites @11 :List(App.DeviceConfigWrite);
  profileTiles @12 :List(App.TileProfilePlan);
  debugSymbols @13 :List(App.DebugSymbol);
  debugRegions @14 :List(App.DebugRegion);
  futureNumber @15 :UInt64;
  futureText @16 :Text;
}

struct TileImage {
  physicalTile @0 :UInt32;
  entryPoint @1 :UInt32;
  segments @2 :List(App.Segment);
  commandAddress @3 :UInt32;
  diagnosticAddress @4 :UInt32;
  futureNumber @5 :UInt64;
  futureList @6 :List(UInt64);
}
