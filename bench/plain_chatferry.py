"""The bridge's algorithm written as ordinary Python, for the per-operation
benchmark: the same host look-ups, log calls, argument checks, event
dispatch and reply composition as the native `Chatferry`, step for step."""
import asyncio
import logging

logger = logging.getLogger("tovana.connectors.chatferry.plain")


def _check(name, value, kind):
    if type(value) is not kind:
        raise TypeError(f"Argument '{name}' has incorrect type (expected {kind.__name__}, got {type(value).__name__})")


class Chatferry:
    def __init__(self):
        self._running = False
        self._processing = False
        self._queue = asyncio.Queue()
        self._worker_task = None

    async def start(self):
        if self._running:
            logger.info("Chatferry already running")
            return
        telegram = self._get_telegram()
        if not telegram:
            logger.error("Cannot start Chatferry \u2014 Telegram connector not available or not configured")
            return
        telegram.set_message_handler(self._on_telegram_message)
        logger.info("Message handler registered")
        await telegram.start()
        logger.info("Telegram polling started")
        self._running = True
        self._worker_task = asyncio.create_task(self._process_queue())
        logger.info("Chatferry started \u2014 two-way messaging active")

    async def stop(self):
        self._running = False
        if self._worker_task and not self._worker_task.done():
            self._worker_task.cancel()
            try:
                await self._worker_task
            except asyncio.CancelledError:
                pass
        self._worker_task = None
        telegram = self._get_telegram()
        if telegram:
            await telegram.stop()
        logger.info("Chatferry stopped")

    def _get_telegram(self):
        try:
            from tovana.gateway.server import get_state
            state = get_state()
            connector_mgr = state.get("connector_manager")
            if not connector_mgr:
                return None
            telegram = connector_mgr.get("telegram")
            if telegram and telegram.is_configured:
                return telegram
            return None
        except Exception as e:
            logger.error(f"Failed to get Telegram connector: {e}")
            return None

    def _get_agent(self):
        try:
            from tovana.gateway.server import get_state
            return get_state().get("agent")
        except Exception as e:
            logger.error(f"Failed to get agent: {e}")
            return None

    async def _on_telegram_message(self, text, metadata):
        _check("text", text, str)
        _check("metadata", metadata, dict)
        sender = metadata.get("from_name", "unknown")
        logger.info(f"Queuing Telegram message from {sender}: {text[:80]}")
        await self._queue.put((text, metadata))

    async def _process_queue(self):
        logger.info("Queue processor started")
        while self._running:
            try:
                item = await asyncio.wait_for(self._queue.get(), timeout=2.0)
            except TimeoutError:
                continue
            except asyncio.CancelledError:
                break
            text, metadata = item
            logger.info(f"Processing queued message: {str(text)[:80]}")
            self._processing = True
            try:
                try:
                    await self._handle_message(text, metadata)
                except Exception as e:
                    logger.exception(f"Error processing Telegram message: {e}")
                    try:
                        await self._send_reply(f"\u26a0\ufe0f Sorry, I encountered an error:\n{str(e)[:500]}", metadata)
                    except Exception as e2:
                        logger.exception(f"Failed to send error reply: {e2}")
            finally:
                self._processing = False

    async def _handle_message(self, text, metadata):
        _check("text", text, str)
        _check("metadata", metadata, dict)
        agent = self._get_agent()
        telegram = self._get_telegram()
        if not agent:
            logger.error("Agent not available for Telegram message processing")
            await self._send_reply("\u26a0\ufe0f Tovana agent is not initialized. Please check the web UI and ensure "
                                   "an API key is configured.", metadata)
            return
        if not telegram:
            logger.error("Telegram connector not available")
            return
        chat_id = metadata.get("chat_id")
        await telegram.send_typing(chat_id=chat_id)
        try:
            from tovana.gateway.ws import manager
            sender = metadata.get("from_name", "User")
            await manager.broadcast({"type": "telegram_message",
                                     "content": f"\U0001f4f1 **Telegram** ({sender}): {text}",
                                     "source": "telegram"})
        except Exception as e:
            logger.debug(f"Could not broadcast to WebSocket: {e}")

        response_parts, tool_summaries, screenshots_sent = [], [], 0
        try:
            logger.info("Sending message to agent for processing...")
            async for event in agent.process_message(text):
                try:
                    from tovana.gateway.ws import manager
                    await manager.broadcast(event.to_dict())
                except Exception:
                    pass
                if event.type == "text":
                    if event.data.get("content"):
                        content = event.data["content"]
                        response_parts.append(content)
                        logger.debug(f"Agent text: {content[:100]}")
                elif event.type == "tool_call":
                    tool_name = event.data.get("tool", "")
                    if tool_name != "plan" and tool_name != "memory":
                        operation = event.data.get("arguments", {}).get("operation", "")
                        summary = f"\U0001f527 {tool_name}.{operation}" if operation else f"\U0001f527 {tool_name}"
                        tool_summaries.append(summary)
                        logger.debug(f"Agent tool call: {summary}")
                        await telegram.send_typing(chat_id=chat_id)
                elif event.type == "tool_result":
                    if event.data.get("screenshot") and event.data.get("image_base64"):
                        if await self._send_screenshot(event.data["image_base64"], chat_id, telegram):
                            screenshots_sent += 1
                elif event.type == "error":
                    error_msg = event.data.get("message", "Unknown error")
                    response_parts.append(f"\u26a0\ufe0f {error_msg}")
                    logger.warning(f"Agent error event: {error_msg}")
                elif event.type == "done":
                    logger.info("Agent processing complete")
        except Exception as e:
            logger.exception("Agent processing failed for Telegram message")
            response_parts.append(f"\u26a0\ufe0f Processing error: {str(e)[:300]}")

        final_response = "\n".join(response_parts).strip()
        if not final_response:
            final_response = "\u2705 Done!" if tool_summaries or screenshots_sent else \
                "I received your message but had no response to give. Could you try rephrasing?"
        if tool_summaries:
            actions_str = "\n".join(tool_summaries[:8])
            if len(tool_summaries) > 8:
                actions_str += f"\n... and {len(tool_summaries) - 8} more"
            final_response += f"\n\n\U0001f4cb Actions:\n{actions_str}"
        logger.info(f"Sending reply to Telegram ({len(final_response)} chars)")
        await self._send_reply(final_response, metadata)

    async def _send_reply(self, text, metadata):
        _check("text", text, str)
        _check("metadata", metadata, dict)
        telegram = self._get_telegram()
        if not telegram:
            logger.error("Cannot send reply \u2014 Telegram connector not available")
            return
        chat_id = metadata.get("chat_id") or telegram._chat_id
        if not chat_id:
            logger.error("Cannot send reply \u2014 no chat_id")
            return
        result = await telegram.send_message(text, chat_id=chat_id, parse_mode="")
        if result.get("success"):
            logger.info(f"Reply sent to Telegram (msg_ids={result.get('message_ids')})")
        else:
            logger.error(f"Failed to send Telegram reply: {result.get('message')}")

    async def _send_screenshot(self, image_base64, chat_id, telegram):
        raise NotImplementedError("not part of the measured path")
