-- The demonstration rows of scripts/run: a NetFlow and an sFlow channel, the
-- three bundled plugins, and for each channel a collector that sums up its
-- flows, one that lists its top talkers and one that checks its capture
-- process. Inserted once: a second load finds the plugins by name and
-- inserts nothing. The plugin paths and the collectors' parameters are then
-- brought in step with this checkout and state directory, which may have
-- moved since.
--
-- psql variables: summary_plugin, top_plugin, status_plugin (paths),
-- datadir, statedir, piddir, netflow_port, sflow_port.

BEGIN;

SELECT count(*) = 0 AS demo_missing
  FROM flows_collector_plugins WHERE plugin_name LIKE 'demo: %' \gset

\if :demo_missing
INSERT INTO flows_channel (channel_name, channel_protocol, channel_port)
VALUES ('demo-netflow', 'netflow', :'netflow_port'),
       ('demo-sflow', 'sflow', :'sflow_port');

INSERT INTO flows_collector_plugins (plugin_name, plugin_path, plugin_interval)
VALUES ('demo: flow summary', :'summary_plugin', '60 seconds'),
       ('demo: capture status', :'status_plugin', '60 seconds');

INSERT INTO flows_collector (collector_name, collector_plugin_id, collector_channel_id)
SELECT c.channel_name || ' ' || v.what, p.plugin_id, c.channel_id
  FROM flows_channel c
  CROSS JOIN (VALUES ('summary', 'demo: flow summary'),
                     ('capture', 'demo: capture status')) AS v (what, plugin)
  JOIN flows_collector_plugins p ON p.plugin_name = v.plugin
 WHERE c.channel_name IN ('demo-netflow', 'demo-sflow')
 ORDER BY c.channel_name, v.what DESC;
\endif

-- Came later than the others: added to a demonstration loaded before it too.
INSERT INTO flows_collector_plugins (plugin_name, plugin_path, plugin_interval)
SELECT 'demo: top talkers', :'top_plugin', '60 seconds'
 WHERE NOT EXISTS (SELECT FROM flows_collector_plugins WHERE plugin_name = 'demo: top talkers');

INSERT INTO flows_collector (collector_name, collector_plugin_id, collector_channel_id)
SELECT c.channel_name || ' top', p.plugin_id, c.channel_id
  FROM flows_channel c
  JOIN flows_collector_plugins p ON p.plugin_name = 'demo: top talkers'
 WHERE c.channel_name IN ('demo-netflow', 'demo-sflow')
   AND NOT EXISTS (SELECT FROM flows_collector k
                    WHERE k.collector_plugin_id = p.plugin_id AND k.collector_channel_id = c.channel_id)
 ORDER BY c.channel_name;

UPDATE flows_collector_plugins SET plugin_path = :'summary_plugin'
 WHERE plugin_name = 'demo: flow summary' AND plugin_path <> :'summary_plugin';
UPDATE flows_collector_plugins SET plugin_path = :'status_plugin'
 WHERE plugin_name = 'demo: capture status' AND plugin_path <> :'status_plugin';
UPDATE flows_collector_plugins SET plugin_path = :'top_plugin'
 WHERE plugin_name = 'demo: top talkers' AND plugin_path <> :'top_plugin';

-- Paths in double quotes: the collector splits its parameter string at
-- blanks outside quotes.
UPDATE flows_collector AS collector SET collector_parameter = wanted.parameter
  FROM (SELECT k.collector_id,
               CASE p.plugin_name
                 WHEN 'demo: flow summary' THEN
                   '-d "' || :'datadir' || '" -s "' || :'statedir' || '" -c $CHANNEL -i $INTERVAL'
                 WHEN 'demo: top talkers' THEN
                   '-d "' || :'datadir' || '" -s "' || :'statedir' || '" -c $CHANNEL -i $INTERVAL -n 5'
                 ELSE '-c $CHANNEL -p ' || c.channel_port || ' -r "' || :'piddir' || '"'
               END AS parameter
          FROM flows_collector k
          JOIN flows_collector_plugins p ON p.plugin_id = k.collector_plugin_id
          JOIN flows_channel c ON c.channel_id = k.collector_channel_id
         WHERE p.plugin_name LIKE 'demo: %') AS wanted
 WHERE collector.collector_id = wanted.collector_id
   AND collector.collector_parameter IS DISTINCT FROM wanted.parameter;

COMMIT;
