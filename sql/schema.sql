-- Tables of the flow-monitoring database: plugins, capture channels, collectors,
-- pending collector changes and collector statistics.
--
-- Safe to load again: every object is created only when missing.
--
-- Foreign keys are chosen so that the programs' own deletions always succeed
-- and leave nothing pointing at a removed row:
--   * deleting a plugin removes its collectors (the scheduler's start-up purge
--     deletes the collectors first anyway, a front end may not);
--   * deleting a channel (done by kovaFlowCapture) keeps its collectors, which
--     then run without a channel, as collectors without one always could;
--   * deleting a collector (start-up purge, change watcher) removes its
--     pending change rows but keeps its statistics, which are history.
-- collector_id is an integer because the scheduler's statements cast it to int.

CREATE TABLE IF NOT EXISTS flows_collector_plugins (
  plugin_id serial PRIMARY KEY,
  plugin_name text NOT NULL DEFAULT '',
  plugin_path text NOT NULL,
  plugin_interval interval NOT NULL,
  plugin_delete boolean NOT NULL DEFAULT false
);

CREATE TABLE IF NOT EXISTS flows_channel (
  channel_id serial PRIMARY KEY,
  channel_name text NOT NULL,
  -- "netflow" selects nfcapd, anything else sfcapd.
  channel_protocol text NOT NULL,
  -- Kept as text: it is only ever pasted into command lines and searched for
  -- in process listings.
  channel_port text NOT NULL,
  channel_ip_dist text DEFAULT '',
  channel_delete boolean NOT NULL DEFAULT false
);

CREATE TABLE IF NOT EXISTS flows_collector (
  collector_id serial PRIMARY KEY,
  collector_name text NOT NULL DEFAULT '',
  collector_plugin_id integer NOT NULL
    REFERENCES flows_collector_plugins (plugin_id) ON DELETE CASCADE,
  collector_channel_id integer
    REFERENCES flows_channel (channel_id) ON DELETE SET NULL,
  collector_parameter text NOT NULL DEFAULT '',
  -- NULL until the first run; with a time zone so that its epoch is the
  -- real Unix time whatever the server's TimeZone.
  collector_last_execution timestamp with time zone,
  collector_state integer,
  collector_message text,
  collector_delete boolean NOT NULL DEFAULT false
);

-- Written by the administration side ('ADD' or 'UPDATE'), emptied by the
-- scheduler's change watcher after every poll.
CREATE TABLE IF NOT EXISTS flows_updel_collector (
  updel_id serial PRIMARY KEY,
  updel_collector_type text NOT NULL,
  updel_collector_id integer NOT NULL
    REFERENCES flows_collector (collector_id) ON DELETE CASCADE
);

-- JSON output of every successful plugin run.
CREATE TABLE IF NOT EXISTS flows_stats (
  stat_id bigserial PRIMARY KEY,
  stat_time timestamp with time zone NOT NULL DEFAULT now(),
  stat_data json NOT NULL,
  stat_collector_id integer
    REFERENCES flows_collector (collector_id) ON DELETE SET NULL
);

-- The referencing sides of the foreign keys, so that cascading deletions and
-- the joins on them do not scan whole tables (flows_stats grows without end).
CREATE INDEX IF NOT EXISTS flows_collector_plugin_idx ON flows_collector (collector_plugin_id);
CREATE INDEX IF NOT EXISTS flows_collector_channel_idx ON flows_collector (collector_channel_id);
CREATE INDEX IF NOT EXISTS flows_updel_collector_collector_idx
  ON flows_updel_collector (updel_collector_id);
CREATE INDEX IF NOT EXISTS flows_stats_collector_idx ON flows_stats (stat_collector_id);

-- Several hosts on one database (key node_name). kovaFlowCollector creates
-- these two itself when they are missing, with these same definitions.
-- One lease row per node: it is live while node_expiry, set by the
-- database clock, lies ahead. A dead node's row and its claims stay until
-- an operator deletes the row.
CREATE TABLE IF NOT EXISTS flows_node (
  node_name text PRIMARY KEY,
  node_channels text NOT NULL DEFAULT '',
  node_expiry timestamp with time zone NOT NULL,
  node_token text NOT NULL DEFAULT ''  -- the holding daemon's own random token
);

-- The pending changes each node has seen; a change row is purged once
-- every live node has seen it.
CREATE TABLE IF NOT EXISTS flows_node_change (
  node_name text NOT NULL REFERENCES flows_node (node_name) ON DELETE CASCADE,
  updel_id integer NOT NULL REFERENCES flows_updel_collector (updel_id) ON DELETE CASCADE,
  PRIMARY KEY (updel_id, node_name)
);
