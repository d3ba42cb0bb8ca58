# The profile report of one run of a vorn21 application: one message, root
# `Profile`. Schema version 5 is written; 1 to 5 are read with this layout.
@0xffbc4c58c0994580;

using Cxx = import "/capnp/c++.capnp";
$Cxx.namespace("vorn_package::profile_capnp");

enum StepKind {
  exchange @0;
  compute @1;
  synchronization @2;
  idle @3;
}

enum ExchangeActivityKind {
  send @0;
  receive @1;
  partnerBusy @2;
}

struct Profile {
  schemaVersion @0 :UInt32;
  clockHz @1 :UInt64;
  tiles @2 :List(TileProfile);
}

struct TileProfile {
  physicalTile @0 :UInt32;
  samples @1 :List(CycleSample);
}

struct CycleSample {
  step @0 :ProfileStep;
  startCycle @1 :UInt32;
  endCycle @2 :UInt32;
}

# Same layout as ProfileStepPlan, ProfileMetadata and ProfileExchangeActivity
# of the application schema.
struct ProfileStep {
  localIndex @0 :UInt32;
  phase @1 :UInt32;
  epoch @2 :UInt32;
  operation @3 :Text;
  kind @4 :StepKind;
  kernel @5 :Text;
  metadata @6 :List(MetadataEntry);
  exchangeActivities @7 :List(ExchangeActivity);
  exchangeEventCycles @8 :UInt32;
}

struct MetadataEntry {
  name @0 :Text;
  value @1 :Text;
}

struct ExchangeActivity {
  kind @0 :ExchangeActivityKind;
  startCycle @1 :UInt32;
  endCycle @2 :UInt32;
}
